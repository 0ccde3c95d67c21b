#ifndef LOGGER_H
#define LOGGER_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

class QFile;

// The process-wide message handler: one line per message, kept in memory,
// written to standard error and to this process's log file. A run of
// identical lines is written once, followed when the run ends by the same
// line with " x<N>" before its line feed, N being how many more times it came.
class Logger
{
public:
    // The newest lines kept in memory; older ones are dropped.
    static const int maxMessages = 10000;

    static void installMessageHandler();
    static void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
    static QString formatMessage(const QString &type, const QMessageLogContext &context, const QString &msg);
    static QString getMessages();

    // Writes out the repeat count of the current run; runs at exit too.
    static void flushRepeats();

    // Logs text at critical level, which ends the process (after an error box
    // where there is a user interface): whatever follows the call never runs.
    [[noreturn]] static void giveUp(const QString &text);

private:
    static void keep(const QString &line);
    static void write(const QString &line);

    static QFile *logFile;
    static QStringList messages;
    static QString lastLine;
    static qint64 repeats;
};

#endif // LOGGER_H
