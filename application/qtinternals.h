#ifndef QTINTERNALS_H
#define QTINTERNALS_H

class QEvent;
class QSslSocket;
class QWebSocket;

// Every place where the agent relies on how Qt works inside rather than on
// what it documents: how QWebSocket reads, which the relay's back-pressure
// pauses. Verified with Qt 5.15.8 (Debian 12) and 5.15.15 (Debian 13); a Qt
// that works otherwise fails the tests named here, run by CI on every Qt it
// builds with, never the build.
class QtInternals
{
public:
    // QWebSocket drops a connection whose incoming frame stalls for some
    // seconds, timed by QTimers among its children. A connection we stop
    // reading on purpose stalls too: these stop them.
    // Guarded by tst_hardening_relay slowPageHoldsBackItsApplication.
    static void stopStallTimers(QWebSocket *socket);

    // QWebSocket reads its socket's data in a queued call (a MetaCall event
    // posted to itself after each readyRead); dropping the event leaves the
    // data unread until replayArrived.
    // Guarded by tst_hardening_relay slowPageHoldsBackItsApplication and
    // tst_hardening_limits unreadPongs.
    static bool isQueuedRead(const QEvent *event);
    // Emits the socket's readyRead, so that the QWebSocket on top reads what
    // arrived while its queued reads were dropped.
    static void replayArrived(QSslSocket *transport);
};

#endif // QTINTERNALS_H
