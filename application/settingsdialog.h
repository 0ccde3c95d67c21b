#ifndef SETTINGSDIALOG_H
#define SETTINGSDIALOG_H

#include "adminpolicy.h"

#include <QDialog>
#include <QString>

class QSettings;
class QStandardItemModel;
class SecurityItemDelegate;

namespace Ui {
class SettingsDialog;
}

// The per-application permissions and the two global switches, kept in the
// settings file.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget *parent = nullptr);
    ~SettingsDialog() override;

    // Saves the switches and the states, then closes.
    void accept() override;

    static const QString ENABLED;
    static const QString DISABLED;
    static const QString ASK;
    static const QString DEFAULT;
    static const QString APP_PREFIX;

    // Whether the application at url may be started, with the
    // administrator's policy over the user's choice; remembers a new url,
    // and the origin of the page that asked for it last.
    static LaunchDecision checkApp(QString url, QString origin = QString());
    static QString findGroup(QSettings &s, QString url);
    static QString newGroup(QSettings &s);
    static QString securityToLabel(QString securityId);
    static QString getAppTitle(QString url);

private:
    Ui::SettingsDialog *ui;
    QStandardItemModel *model;
    SecurityItemDelegate *delegate;
};

#endif // SETTINGSDIALOG_H
