#ifndef SSLWEBSOCKETSERVER_H
#define SSLWEBSOCKETSERVER_H

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QWebSocketServer>

class QSslSocket;
class QTimer;

// A wss:// listener presenting the server certificate of one loopback host
// name; the host name is also its server name. It accepts its connections
// itself, checks the peer's account before any TLS work, and hands each to
// the base class for the WebSocket handshake. The base class's listening
// members are hidden here: its own server never listens.
class SslWebSocketServer : public QWebSocketServer
{
    Q_OBJECT

public:
    // The largest message (and frame) a peer may send; a larger one closes
    // its connection with 1009. Documents to sign run to tens of megabytes.
    static const quint64 MAX_MESSAGE_SIZE = 64 * 1024 * 1024;
    // Connections one listener holds at once, those still closing included;
    // at the bound it stops accepting until one goes. Far above what a
    // browser opens, and with the launches' share within the descriptors a
    // desktop session gives a process.
    static const int MAX_CONNECTIONS = 1024;
    // A listener accepts only while more descriptors than this are free, so
    // that admission and the launched applications always find theirs; short
    // of them, it tries again this much later, or as soon as one of its
    // connections goes.
    static const int ACCEPT_RESERVE = 128;
    static const int ACCEPT_RETRY_MS = 1000;
    // What the kernel holds of one connection's input (Linux doubles it).
    // The agent reads at most that much of a connection in one pass of its
    // event loop, so that back-pressure, checked between passes, is not
    // overrun by whatever a fast peer had queued meanwhile.
    static const int RECEIVE_BUFFER = 256 * 1024;

    SslWebSocketServer(QString hostname, QObject *parent);
    ~SslWebSocketServer() override;

    // What the log says when a listener cannot listen: the error text alone,
    // or followed by the host name, address and port.
    enum ListenFailure { LogError, LogErrorAndPlace };
    // A listener of hostname, a child of owner, started on address:port. When
    // it cannot listen it logs "Volanie webSocketServer.listen zlyhalo:" as
    // failure says, and stays a child of owner, not listening.
    static SslWebSocketServer *start(const QString &hostname, const QHostAddress &address, quint16 port, QObject *owner,
                                     ListenFailure failure);

    // Listens with TCP_NODELAY and RECEIVE_BUFFER on the listening socket, so
    // that accepted sockets have them from their first byte.
    bool listen(const QHostAddress &address = QHostAddress::Any, quint16 port = 0);
    // The base class's, of the listening socket.
    void close();
    bool isListening() const;
    quint16 serverPort() const;
    QHostAddress serverAddress() const;
    QString errorString() const;
    // The base class's, with the message limits applied and the TLS socket
    // underneath noted.
    QWebSocket *nextPendingConnection() override;

    // About how many more descriptors the process may open.
    int spareDescriptors() const;
    // The TLS sockets this listener accepted and that are not gone yet,
    // handed out or still in their handshakes.
    QList<QSslSocket *> acceptedSockets() const;

    // The TLS socket under an accepted connection; null when unknown or gone.
    static QSslSocket *transport(const QWebSocket *socket);

    // The two segments of an accepted connection's request path, for the
    // listener's own admission. A peer that the account check turned away
    // when it was accepted is refused here with deniedReason, a path of any
    // other shape with shapeReason; both get an empty list.
    static QStringList admit(QWebSocket *socket, const QString &shapeReason, const QString &deniedReason);
    // Closes a connection that is not admitted and releases it once closed.
    static void refuse(QWebSocket *socket, int code, const QString &reason);

private slots:
    void releaseAbandoned();

private:
    class Acceptor;

    QSslSocket *incoming(qintptr descriptor);
    void taken();
    void starve();
    void retry();
    // Accepting or not, as the connections held and the descriptors allow.
    void updateAccepting();
    void connectionGone();

    // Accepts the connections; the sockets are its children.
    Acceptor *tcp = nullptr;
    // Closed connections whose descriptor is still held.
    int lingering = 0;
    // Runs while the listener waits for descriptors to come free.
    QTimer *starved = nullptr;
    // Looks for abandoned handshakes while one is pending.
    QTimer *sweep = nullptr;
};

#endif // SSLWEBSOCKETSERVER_H
