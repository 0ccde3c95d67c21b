#ifndef JAVAAPPSMANAGER_H
#define JAVAAPPSMANAGER_H

#include "launchstatus.h"

#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;

// The Java Web Start program, looked up on the search path when started.
QString findJavaWs();

class JavaAppsManager : public QObject
{
    Q_OBJECT

public:
    // Issues the start of javaws in proc; whether it could run arrives later
    // through proc's error signal.
    static LaunchResult launch(QProcess *proc, QString jnlp, QString xmx, QString xms, QString xss);
    // Refuses (LaunchStatus::Refused) an address or memory option that no
    // real application has and that would reach javaws other than as
    // written: one holding a control character (the system cuts an argument
    // at NUL) or longer than its bound; started() when they may go on to
    // the policy.
    static LaunchResult checkArguments(const QString &jnlp, const QStringList &options);
    static QString getTitle(QString url);

    static const int MAX_ADDRESS_LENGTH = 8192;
    static const int MAX_OPTION_LENGTH = 64;
};

#endif // JAVAAPPSMANAGER_H
