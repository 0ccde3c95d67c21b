#ifndef BACKPRESSURE_H
#define BACKPRESSURE_H

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>

class QSslSocket;
class QWebSocket;

// Keeps a relay from growing without end: a connection whose peer has too
// much waiting to be sent is not read until the peer has taken most of it,
// so TCP holds the sender back. Nothing is dropped, other connections go on.
class BackPressure : public QObject
{
    Q_OBJECT

public:
    // A peer with more than this not yet sent makes its sender stop being
    // read until the peer is down to RESUME_BACKLOG.
    static const qint64 PAUSE_BACKLOG = 8 * 1024 * 1024;
    static const qint64 RESUME_BACKLOG = 2 * 1024 * 1024;
    // What a paused connection's socket may still read ahead.
    static const qint64 PAUSED_READ_BUFFER = 64 * 1024;

    explicit BackPressure(QObject *parent);

    // Follows a relayed connection: what it sends, and its own output.
    void watch(QWebSocket *socket);
    // sender's message was just queued on peer.
    void relayed(QWebSocket *sender, QWebSocket *peer);
    // A connection that goes: whoever waited for it is read again, and its
    // own pause just ends, as nothing of it is relayed any more.
    void release(QWebSocket *socket);
    // Lets go of every connection at once, without reading any again.
    void clear();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void pause(QWebSocket *sender, QWebSocket *peer);
    void resume(QWebSocket *sender);
    // Takes a paused sender out of both tables; false when it was not paused.
    bool forgetPause(QWebSocket *sender);
    void peerDrained(QWebSocket *peer);
    void resumeWaitersOf(QWebSocket *peer);
    qint64 backlog(QWebSocket *socket) const;
    QSslSocket *transport(QWebSocket *socket) const;

    // The TLS socket under each watched connection, looked up once: backlog()
    // runs for every message and every read.
    QHash<QWebSocket *, QPointer<QSslSocket>> transports;
    // Senders not read while the peer they wait for has too much to send.
    QHash<QWebSocket *, QWebSocket *> pausedOn;
    QHash<QWebSocket *, QList<QWebSocket *>> waiters;
};

#endif // BACKPRESSURE_H
