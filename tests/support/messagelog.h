#ifndef MESSAGELOG_H
#define MESSAGELOG_H

#include <QPair>
#include <QStringList>
#include <QtGlobal>

// Collects what is logged while it lives, then puts the previous handler
// back. One at a time.
class MessageLog
{
public:
    enum Echo { Swallow, PassOn };

    explicit MessageLog(Echo echo = Swallow);
    ~MessageLog();
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    QStringList messages() const;
    QStringList warnings() const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

    static QList<QPair<QtMsgType, QString>> caught;
    static QtMessageHandler previous;
    static Echo echo;
};

#endif // MESSAGELOG_H
