#ifndef LAUNCHQUESTION_H
#define LAUNCHQUESTION_H

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QAbstractButton;
class QMessageBox;
class QTimer;
class QWebSocket;

// Asks the user whether a page may start an application, one question at a
// time in a box that blocks nothing, so that every session is served while
// the user thinks. A question is refused when it is not answered in time,
// when its page goes, or when too many wait already.
class LaunchQuestion : public QObject
{
    Q_OBJECT

public:
    static const int TIMEOUT_MS = 60000;
    static const int MAX_PENDING = 16;

    explicit LaunchQuestion(QObject *parent);
    ~LaunchQuestion() override;

    // Asks after the questions asked before; answer(true) only once the user
    // allowed it. With "remember" chosen the answer is stored for the address.
    void ask(QWebSocket *page, const QString &url, const std::function<void(bool allowed)> &answer);
    // Whether a question of this session waits or is shown.
    bool asks(const QString &sessionId) const;
    // Questions waiting or shown: each may become a running application.
    int waiting() const { return queue.size(); }
    // For tests, which cannot wait a whole minute.
    void setTimeout(int ms) { timeoutMs = ms; }

private:
    struct Pending
    {
        QPointer<QWebSocket> page;
        QString sessionId;
        QString origin;
        QString url;
        std::function<void(bool)> answer;
        QMetaObject::Connection watch;
    };

    void showNext();
    void finish(bool allowed, bool remember);
    void gone(QWebSocket *page);

    QList<Pending> queue;
    // The question of the queue's first entry, while shown.
    QPointer<QMessageBox> box;
    QAbstractButton *allowButton = nullptr;
    QTimer *timer;
    int timeoutMs = TIMEOUT_MS;
};

#endif // LAUNCHQUESTION_H
