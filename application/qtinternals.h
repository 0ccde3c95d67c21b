#ifndef QTINTERNALS_H
#define QTINTERNALS_H

#include <QList>
#include <QtGlobal>

class QEvent;
class QMessageBox;
class QSocketNotifier;
class QSslSocket;
class QTcpServer;
class QTextEdit;
class QWebSocket;
class QWebSocketServer;

// Every place where the agent relies on how Qt works inside rather than on
// what it documents. Each was verified against one Qt version, checked where
// it is implemented: a newer Qt fails the build there, naming the workaround
// to verify again (and the test that guards it), rather than failing quietly
// at run time.
class QtInternals
{
public:
    // QWebSocket drops a connection whose incoming frame stalls for some
    // seconds, timed by QTimers among its children. A connection we stop
    // reading on purpose stalls too: these stop them.
    static void stopStallTimers(QWebSocket *socket);

    // QWebSocket reads its socket's data in a queued call (a MetaCall event
    // posted to itself after each readyRead); dropping the event leaves the
    // data unread until replayArrived.
    static bool isQueuedRead(const QEvent *event);
    // Emits the socket's readyRead, so that the QWebSocket on top reads what
    // arrived while its queued reads were dropped.
    static void replayArrived(QSslSocket *transport);

    // QWebSocketServer listens through a QTcpServer child, whose children are
    // the sockets it accepted, each from its first byte to its deletion. Null
    // before listen().
    static QTcpServer *innerServer(const QWebSocketServer *listener);
    static QList<QSslSocket *> acceptedSockets(const QWebSocketServer *listener);
    // The inner server's read notifier on the listening descriptor: each of
    // its activations accepts one connection. Null when not found.
    static QSocketNotifier *acceptNotifier(const QWebSocketServer *listener);

    // QMessageBox shows its detailed text in a QTextEdit inside a private
    // widget class, QMessageBoxDetailsText. Null while the box has none.
    static QTextEdit *messageBoxDetails(const QMessageBox &box);
};

#endif // QTINTERNALS_H
