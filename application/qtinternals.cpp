#include "qtinternals.h"

#include <QEvent>
#include <QSslSocket>
#include <QTimer>
#include <QWebSocket>

void QtInternals::stopStallTimers(QWebSocket *socket)
{
    const QList<QTimer *> timers = socket->findChildren<QTimer *>();
    for (QTimer *timer : timers)
        timer->stop();
}

bool QtInternals::isQueuedRead(const QEvent *event)
{
    return event->type() == QEvent::MetaCall;
}

void QtInternals::replayArrived(QSslSocket *transport)
{
    emit transport->readyRead();
}
