#ifndef SSLWEBSOCKETSERVER_H
#define SSLWEBSOCKETSERVER_H

#include <QString>
#include <QWebSocketServer>

// A wss:// listener presenting the server certificate of one loopback host
// name; the host name is also its server name.
class SslWebSocketServer : public QWebSocketServer
{
    Q_OBJECT

public:
    SslWebSocketServer(QString hostname, QObject *parent);
};

#endif // SSLWEBSOCKETSERVER_H
