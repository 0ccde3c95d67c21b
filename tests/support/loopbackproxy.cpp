#include "loopbackproxy.h"

#include <QHostAddress>
#include <QTcpSocket>

LoopbackProxy::LoopbackProxy(QObject *parent)
    : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, &LoopbackProxy::onNewConnection);
    listen(QHostAddress::LocalHost, 0);
}

QNetworkProxy LoopbackProxy::proxy() const
{
    return QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", serverPort());
}

QNetworkProxy LoopbackProxy::proxyFor(const QString &host) const
{
    return QHostAddress(host).isNull() ? proxy() : QNetworkProxy(QNetworkProxy::NoProxy);
}

void LoopbackProxy::onNewConnection()
{
    while (QTcpSocket *client = nextPendingConnection()) {
        QTcpSocket *upstream = new QTcpSocket(client);
        connect(client, &QTcpSocket::readyRead, client, [client, upstream]() {
            if (upstream->state() == QAbstractSocket::ConnectedState) {
                upstream->write(client->readAll());
                return;
            }
            if (upstream->state() != QAbstractSocket::UnconnectedState
                || !client->peek(client->bytesAvailable()).contains("\r\n\r\n"))
                return;
            // "CONNECT host:port HTTP/1.1" and headers up to an empty line.
            const QByteArray target = client->readAll().split(' ').value(1);
            const quint16 port = target.mid(target.lastIndexOf(':') + 1).toUShort();
            upstream->connectToHost(QHostAddress::LocalHost, port);
        });
        connect(upstream, &QTcpSocket::connected, client,
                [client]() { client->write("HTTP/1.1 200 Connection established\r\n\r\n"); });
        connect(upstream, &QTcpSocket::readyRead, client, [client, upstream]() { client->write(upstream->readAll()); });
        connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        connect(upstream, &QTcpSocket::errorOccurred, client, &QTcpSocket::disconnectFromHost);
        connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::disconnectFromHost);
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}
