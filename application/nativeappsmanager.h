#ifndef NATIVEAPPSMANAGER_H
#define NATIVEAPPSMANAGER_H

#include <QObject>
#include <QString>
#include <QStringList>

// Native applications a page may start. Each platform has its own variant.
class NativeAppsManager : public QObject
{
    Q_OBJECT

public:
    static bool isNativeUrl(QString url);
    static QStringList list();
};

#endif // NATIVEAPPSMANAGER_H
