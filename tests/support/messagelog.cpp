#include "messagelog.h"

QList<QPair<QtMsgType, QString>> MessageLog::caught;
QtMessageHandler MessageLog::previous = nullptr;
MessageLog::Echo MessageLog::echo = MessageLog::Swallow;

MessageLog::MessageLog(Echo echoed)
{
    caught.clear();
    echo = echoed;
    previous = qInstallMessageHandler(handler);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(previous);
}

QStringList MessageLog::messages() const
{
    QStringList all;
    for (const auto &message : qAsConst(caught))
        all << message.second;
    return all;
}

QStringList MessageLog::warnings() const
{
    QStringList found;
    for (const auto &message : qAsConst(caught))
        if (message.first == QtWarningMsg)
            found << message.second;
    return found;
}

void MessageLog::clear()
{
    caught.clear();
}

void MessageLog::handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    caught.append({type, msg});
    // A message of several megabytes would flood the test output.
    if (echo == PassOn && previous)
        previous(type, context, msg.size() > 2000 ? msg.left(2000) + "..." : msg);
}
