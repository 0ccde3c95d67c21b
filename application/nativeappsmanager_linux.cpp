#include "nativeappsmanager.h"

// Linux knows no native applications: every address goes to Java Web Start.

bool NativeAppsManager::isNativeUrl(QString url)
{
    Q_UNUSED(url);
    return false;
}

QStringList NativeAppsManager::list()
{
    return QStringList();
}
