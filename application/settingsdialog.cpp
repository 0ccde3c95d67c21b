#include "settingsdialog.h"

#include "javaappsmanager.h"
#include "nativeappsmanager.h"
#include "utils.h"

#include <QSettings>
#include <QStringList>

const QString SettingsDialog::ENABLED = "enabled";
const QString SettingsDialog::DISABLED = "disabled";
const QString SettingsDialog::ASK = "ask";
const QString SettingsDialog::DEFAULT = "";
const QString SettingsDialog::APP_PREFIX = "application_";

bool SettingsDialog::checkApp(QString url)
{
    QSettings settings(Utils::fileConfig(), QSettings::IniFormat);
    QString group = findGroup(settings, url);
    QString state;
    if (!group.isEmpty()) {
        state = settings.value(group + "/state").toString();
    } else {
        // Remembered even when refused, so the user finds it in the dialog.
        group = newGroup(settings);
        settings.setValue(group + "/url", url);
    }

    if (state == ENABLED)
        return true;
    if (state == DISABLED)
        return false;
    // "ask" is never put to the user at launch time; it follows the default.
    const QString key = NativeAppsManager::isNativeUrl(url) ? "settings/disableNativeApps"
                                                            : "settings/disableWebStartApps";
    return !settings.value(key, false).toBool();
}

QString SettingsDialog::findGroup(QSettings &s, QString url)
{
    QStringList groups = s.childGroups();
    groups.sort(Qt::CaseSensitive);
    for (const QString &group : groups) {
        if (group.startsWith(APP_PREFIX, Qt::CaseSensitive) && s.value(group + "/url").toString() == url)
            return group;
    }
    return QString();
}

QString SettingsDialog::newGroup(QSettings &s)
{
    int highest = -1;
    const QStringList groups = s.childGroups();
    for (const QString &group : groups) {
        if (!group.startsWith(APP_PREFIX, Qt::CaseSensitive))
            continue;
        bool ok = false;
        const int n = group.mid(APP_PREFIX.size()).toInt(&ok);
        if (ok && n > highest)
            highest = n;
    }
    return APP_PREFIX + QString::number(highest + 1);
}

QString SettingsDialog::securityToLabel(QString securityId)
{
    if (securityId == ENABLED)
        return tr("Povolené");
    if (securityId == DISABLED)
        return tr("Zakázané");
    if (securityId == ASK)
        return tr("Opýtať sa");
    if (securityId == DEFAULT)
        return tr("Predvolené");
    return QString();
}

QString SettingsDialog::getAppTitle(QString url)
{
    return JavaAppsManager::getTitle(url);
}
