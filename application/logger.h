#ifndef LOGGER_H
#define LOGGER_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

class QFile;

// The process-wide message handler: one line per message, kept in memory,
// written to standard error and to this process's log file.
class Logger
{
public:
    static void installMessageHandler();
    static void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
    static QString formatMessage(const QString &type, const QMessageLogContext &context, const QString &msg);
    static QString getMessages();

private:
    static QFile *logFile;
    static QStringList messages;
};

#endif // LOGGER_H
