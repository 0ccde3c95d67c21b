#ifndef SERVER_H
#define SERVER_H

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QProcess>
#include <QSet>
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

    // The request's host when it is one of the agent's own loopback names or
    // addresses, else the listener's name: the host header is the peer's to write.
    static QString ownHost(const QString &requestHost, const QString &listenerName);
    // url with the host the caller used, as far as ownHost lets it through:
    // each caller is given back a name it can reach. Empty for an empty url.
    static QString callerUrl(const QString &url, const QString &requestHost, const QString &listenerName);
    // Compares a presented token with the expected one in time that does not
    // depend on where they differ.
    static bool sameToken(const QString &presented, const QString &expected);

    // A peer with more than this not yet sent makes its sender stop being
    // read until the peer is down to RESUME_BACKLOG.
    static const qint64 PAUSE_BACKLOG = 8 * 1024 * 1024;
    static const qint64 RESUME_BACKLOG = 2 * 1024 * 1024;
    // What a paused connection's socket may still read ahead.
    static const qint64 PAUSED_READ_BUFFER = 64 * 1024;
    // How much of a launched application's standard error is kept.
    static const qint64 ERROR_TAIL = 4096;
    // Applications started by the agent that may run at once; far beyond
    // what a user starts, far below what the descriptors allow.
    static const int MAX_RUNNING_APPS = 32;
    // Descriptors a launch leaves free for the agent's own work.
    static const int LAUNCH_RESERVE = 16;

    static Server *lastInstance;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    void closed();

private slots:
    void onNewConnection();
    void onProcessStarted();
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onProcessError(QProcess::ProcessError error);

private:
    void accept(QWebSocket *socket, const QString &sessionId);
    void textMessageReceived(QWebSocket *client, const QString &msg);
    void socketDisconnected(QWebSocket *client);
    void cmdLaunch(QWebSocket *client, const QVariantMap &params);
    void launchNext();
    void startLaunch(QWebSocket *client, const QVariantMap &params);
    // (0, empty) when the launch may go on to the policy.
    QPair<int, QString> admitLaunch(const QString &sessionId, const QString &url, const QStringList &options) const;
    void reportLaunchFailure(const QString &sessionId, int code, const QString &message);
    void pause(QWebSocket *sender, QWebSocket *peer);
    void resume(QWebSocket *sender);
    // Takes a paused sender out of both tables; false when it was not paused.
    bool forgetPause(QWebSocket *sender);
    void peerDrained(QWebSocket *peer);
    void resumeWaitersOf(QWebSocket *peer);
    static qint64 backlog(QWebSocket *socket);

    SslWebSocketServer *server = nullptr;
    // The connections of each session in the order they were admitted, so
    // that a message finds its peer without a walk over every connection.
    QHash<QString, QList<QWebSocket *>> sessions;
    // Senders not read while the peer they wait for has too much to send.
    QHash<QWebSocket *, QWebSocket *> pausedOn;
    QHash<QWebSocket *, QList<QWebSocket *>> waiters;
    // Launched applications that have not ended yet.
    QSet<QProcess *> running;
    // Admitted launches waiting for their pass of the event loop.
    struct PendingLaunch
    {
        QPointer<QWebSocket> client;
        QVariantMap params;
    };
    QList<PendingLaunch> pendingLaunches;
    bool launchedInPass = false;
    QString token;
};

#endif // SERVER_H
