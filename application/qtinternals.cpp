#include "qtinternals.h"

#include <QEvent>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpServer>
#include <QTextEdit>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtWebSockets/qtwebsocketsversion.h>

// Debian 12's Qt. Before raising these, read the Qt sources named in the
// message and run the test it names.
#define KAVREL_VERIFIED_QT QT_VERSION_CHECK(5, 15, 8)

static_assert(QTWEBSOCKETS_VERSION <= KAVREL_VERIFIED_QT,
              "Qt WebSockets newer than 5.15.8: verify QtInternals::stopStallTimers (the frame stall timers of "
              "QWebSocketDataProcessor are QTimer children of the QWebSocket), then tst_hardening_relay "
              "slowPageHoldsBackItsApplication");
void QtInternals::stopStallTimers(QWebSocket *socket)
{
    const QList<QTimer *> timers = socket->findChildren<QTimer *>();
    for (QTimer *timer : timers)
        timer->stop();
}

static_assert(QTWEBSOCKETS_VERSION <= KAVREL_VERIFIED_QT,
              "Qt WebSockets newer than 5.15.8: verify QtInternals::isQueuedRead and replayArrived "
              "(QWebSocketPrivate::processData runs from a queued connection to the socket's readyRead), "
              "then tst_hardening_relay slowPageHoldsBackItsApplication and tst_hardening_limits unreadPongs");
bool QtInternals::isQueuedRead(const QEvent *event)
{
    return event->type() == QEvent::MetaCall;
}

void QtInternals::replayArrived(QSslSocket *transport)
{
    emit transport->readyRead();
}

static_assert(QTWEBSOCKETS_VERSION <= KAVREL_VERIFIED_QT,
              "Qt WebSockets newer than 5.15.8: verify QtInternals::innerServer, acceptedSockets and "
              "acceptNotifier (QWebSocketServerPrivate's QTcpServer child and its children), then tst_server "
              "manyRefusedConnectionsAreReleased, tst_hardening_relay acceptedSocketsAreTuned and "
              "tst_hardening_limits descriptorsRunOut");
QTcpServer *QtInternals::innerServer(const QWebSocketServer *listener)
{
    return listener->findChild<QTcpServer *>(QString(), Qt::FindDirectChildrenOnly);
}

QList<QSslSocket *> QtInternals::acceptedSockets(const QWebSocketServer *listener)
{
    QList<QSslSocket *> sockets;
    const QList<QTcpServer *> inner = listener->findChildren<QTcpServer *>(QString(), Qt::FindDirectChildrenOnly);
    for (QTcpServer *server : inner)
        sockets += server->findChildren<QSslSocket *>(QString(), Qt::FindDirectChildrenOnly);
    return sockets;
}

QSocketNotifier *QtInternals::acceptNotifier(const QWebSocketServer *listener)
{
    QTcpServer *inner = innerServer(listener);
    const QList<QSocketNotifier *> notifiers = inner ? inner->findChildren<QSocketNotifier *>()
                                                     : QList<QSocketNotifier *>();
    for (QSocketNotifier *notifier : notifiers) {
        if (notifier->type() == QSocketNotifier::Read && notifier->socket() == listener->nativeDescriptor())
            return notifier;
    }
    return nullptr;
}

static_assert(QT_VERSION <= KAVREL_VERIFIED_QT,
              "Qt newer than 5.15.8: verify QtInternals::messageBoxDetails (QMessageBox's private "
              "QMessageBoxDetailsText holding a QTextEdit), then tst_messageboxes detailsAreTheLogUnwrapped");
QTextEdit *QtInternals::messageBoxDetails(const QMessageBox &box)
{
    const QList<QWidget *> widgets = box.findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        if (QLatin1String(widget->metaObject()->className()) == QLatin1String("QMessageBoxDetailsText"))
            return widget->findChild<QTextEdit *>();
    }
    return nullptr;
}
