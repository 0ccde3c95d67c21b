#ifndef SERVER_H
#define SERVER_H

#include <QHash>
#include <QList>
#include <QObject>
#include <QHostAddress>
#include <QProcess>
#include <QString>
#include <QVariantMap>

class QWebSocket;
class SslWebSocketServer;

// Names of the attributes every connection carries; the launched application
// gets the same names as environment variables.
extern const char *const PROPERTY_SESSION_ID;
extern const char *const PROPERTY_SERVER_HOSTNAME;
extern const char *const PROPERTY_SERVER_PORT;
extern const char *const PROPERTY_SERVER_BIND_IP;

// The JSON-RPC server of the main instance: admits pages as masters and
// launched applications as slaves, and relays within each session.
class Server : public QObject
{
    Q_OBJECT

public:
    Server(QString token, QObject *parent);
    ~Server();

    QString listen(QString hostname, QHostAddress ip, quint16 port);
    quint16 port() const;
    void forwardMsg(QWebSocket *client, const QString &msg);

    static QString createCommand(const QString &id, const QString &method, const QVariantMap &params);
    // The method of a received message (empty when unreadable) and its params.
    static QString readCommand(const QString &msg, QVariantMap *params);

    // Closes a connection that is not admitted and releases it once closed.
    static void refuse(QWebSocket *socket, int code, const QString &reason);

    static Server *lastInstance;

signals:
    void closed();

private slots:
    void onNewConnection();
    void textMessageReceived(QString msg);
    void socketDisconnected();
    void onProcessStarted();
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onProcessError(QProcess::ProcessError error);

private:
    void accept(QWebSocket *socket, const QString &sessionId);
    void cmdLaunch(QWebSocket *client, const QVariantMap &params);
    void reportLaunchFailure(QProcess *proc, int code, const QString &message);

    SslWebSocketServer *server = nullptr;
    QList<QWebSocket *> connections;
    // The connections of each session in the order they were admitted, so
    // that a message finds its peer without a walk over every connection.
    QHash<QString, QList<QWebSocket *>> sessions;
    QString token;
};

#endif // SERVER_H
