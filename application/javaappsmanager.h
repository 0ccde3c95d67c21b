#ifndef JAVAAPPSMANAGER_H
#define JAVAAPPSMANAGER_H

#include <QObject>
#include <QPair>
#include <QString>

class QProcess;

// The Java Web Start program, looked up on the search path when started.
QString findJavaWs();

class JavaAppsManager : public QObject
{
    Q_OBJECT

public:
    // Issues the start of javaws in proc; whether it could run arrives later
    // through proc's error signal. (0, empty) when issued.
    static QPair<int, QString> launch(QProcess *proc, QString jnlp, QString xmx, QString xms, QString xss);
    static QString getTitle(QString url);
};

#endif // JAVAAPPSMANAGER_H
