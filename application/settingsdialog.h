#ifndef SETTINGSDIALOG_H
#define SETTINGSDIALOG_H

#include <QDialog>
#include <QString>

class QSettings;

// The per-application permissions and the two global switches, kept in the
// settings file.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    static const QString ENABLED;
    static const QString DISABLED;
    static const QString ASK;
    static const QString DEFAULT;
    static const QString APP_PREFIX;

    // Whether the application at url may be started; remembers a new url.
    static bool checkApp(QString url);
    static QString findGroup(QSettings &s, QString url);
    static QString newGroup(QSettings &s);
    static QString securityToLabel(QString securityId);
    static QString getAppTitle(QString url);
};

#endif // SETTINGSDIALOG_H
