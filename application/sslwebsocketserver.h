#ifndef SSLWEBSOCKETSERVER_H
#define SSLWEBSOCKETSERVER_H

#include <QHostAddress>
#include <QString>
#include <QWebSocketServer>

class QSslSocket;

// A wss:// listener presenting the server certificate of one loopback host
// name; the host name is also its server name.
class SslWebSocketServer : public QWebSocketServer
{
    Q_OBJECT

public:
    // The largest message (and frame) a peer may send; a larger one closes
    // its connection with 1009. Documents to sign run to tens of megabytes.
    static const quint64 MAX_MESSAGE_SIZE = 64 * 1024 * 1024;

    SslWebSocketServer(QString hostname, QObject *parent);

    // The base class's listen, with TCP_NODELAY on the listening socket so
    // that accepted sockets have it from their first byte.
    bool listen(const QHostAddress &address = QHostAddress::Any, quint16 port = 0);
    // The base class's, with the message limits and TCP_NODELAY applied.
    QWebSocket *nextPendingConnection() override;

    // The TLS socket under an accepted connection; null when unknown or gone.
    static QSslSocket *transport(const QWebSocket *socket);

private slots:
    void releaseAbandoned();
};

#endif // SSLWEBSOCKETSERVER_H
