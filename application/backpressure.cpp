#include "backpressure.h"

#include "qtinternals.h"
#include "sslwebsocketserver.h"

#include <QEvent>
#include <QPointer>
#include <QSslSocket>
#include <QTimer>
#include <QWebSocket>

BackPressure::BackPressure(QObject *parent)
    : QObject(parent)
{
}

void BackPressure::watch(QWebSocket *socket)
{
    transports.insert(socket, SslWebSocketServer::transport(socket));
    connect(socket, &QWebSocket::bytesWritten, this, [this, socket]() { peerDrained(socket); });
    socket->installEventFilter(this);
}

void BackPressure::relayed(QWebSocket *sender, QWebSocket *peer)
{
    if (backlog(peer) > PAUSE_BACKLOG)
        pause(sender, peer);
}

void BackPressure::release(QWebSocket *socket)
{
    resumeWaitersOf(socket);
    forgetPause(socket);
    transports.remove(socket);
}

void BackPressure::clear()
{
    pausedOn.clear();
    waiters.clear();
    transports.clear();
}

qint64 BackPressure::backlog(QWebSocket *socket) const
{
    // Qt encrypts at once; what the peer has not taken waits below the TLS layer.
    const QSslSocket *tls = transport(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

QSslSocket *BackPressure::transport(QWebSocket *socket) const
{
    const auto found = transports.constFind(socket);
    return found == transports.cend() ? nullptr : found->data();
}

void BackPressure::pause(QWebSocket *sender, QWebSocket *peer)
{
    // Without its socket a paused connection could not be woken again.
    if (pausedOn.contains(sender) || !transport(sender))
        return;
    pausedOn.insert(sender, peer);
    waiters[peer].append(sender);
    // A full read buffer stops the socket reading, and TCP holds the sender back.
    sender->setReadBufferSize(PAUSED_READ_BUFFER);
    // The stall is ours, not the peer's; the frame reader may restart its
    // timer when the delivery under way returns, hence after it. Not queued
    // on the sender: its calls wait.
    QTimer::singleShot(0, this, [this, guarded = QPointer<QWebSocket>(sender)]() {
        if (guarded && pausedOn.contains(guarded))
            QtInternals::stopStallTimers(guarded);
    });
}

bool BackPressure::forgetPause(QWebSocket *sender)
{
    QWebSocket *peer = pausedOn.take(sender);
    if (!peer)
        return false;
    QList<QWebSocket *> &list = waiters[peer];
    list.removeOne(sender);
    if (list.isEmpty())
        waiters.remove(peer);
    return true;
}

void BackPressure::resume(QWebSocket *sender)
{
    if (!forgetPause(sender))
        return;
    sender->setReadBufferSize(0);
    // What arrived meanwhile is read as if it had just come.
    if (QSslSocket *tls = transport(sender))
        QtInternals::replayArrived(tls);
}

void BackPressure::peerDrained(QWebSocket *peer)
{
    if (waiters.contains(peer) && backlog(peer) <= RESUME_BACKLOG)
        resumeWaitersOf(peer);
}

void BackPressure::resumeWaitersOf(QWebSocket *peer)
{
    const QList<QWebSocket *> paused = waiters.value(peer);
    for (QWebSocket *sender : paused)
        resume(sender);
}

bool BackPressure::eventFilter(QObject *watched, QEvent *event)
{
    // A paused connection's reads are dropped here and made again by resume().
    if (!QtInternals::isQueuedRead(event))
        return QObject::eventFilter(watched, event);
    QWebSocket *socket = qobject_cast<QWebSocket *>(watched);
    if (pausedOn.contains(socket))
        return true;
    // What a connection sends itself (the pong of each ping) waits for it
    // too: one that does not take its own output is not read until it does.
    if (socket && backlog(socket) > PAUSE_BACKLOG) {
        pause(socket, socket);
        return pausedOn.contains(socket);
    }
    return false;
}
