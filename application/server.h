#ifndef SERVER_H
#define SERVER_H

#include "adminpolicy.h"
#include "launchstatus.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QVariantMap>

class BackPressure;
class LaunchQuestion;
class QWebSocket;
class SslWebSocketServer;

// Names of the attributes every connection carries; the launched application
// gets the same names as environment variables.
extern const char *const PROPERTY_SESSION_ID;
extern const char *const PROPERTY_SERVER_HOSTNAME;
extern const char *const PROPERTY_SERVER_PORT;
extern const char *const PROPERTY_SERVER_BIND_IP;

// The JSON-RPC server of the main instance: admits pages as masters and
// launched applications as slaves, relays within each session (held back by
// BackPressure) and launches each session's application.
class Server : public QObject
{
    Q_OBJECT

public:
    Server(QString token, QObject *parent);
    ~Server();

    QString listen(QString hostname, QHostAddress ip, quint16 port);
    quint16 port() const;
    void forwardMsg(QWebSocket *client, const QString &msg);

    // The envelope and the reader of Wire, which the redirect server shares.
    static QString createCommand(const QString &id, const QString &method, const QVariantMap &params);
    static QString readCommand(const QString &msg, QVariantMap *params);

    // How much of a launched application's standard error is kept.
    static const qint64 ERROR_TAIL = 4096;
    // Applications started by the agent that may run at once; far beyond
    // what a user starts, far below what the descriptors allow.
    static const int MAX_RUNNING_APPS = 32;
    // Descriptors a launch leaves free for the agent's own work.
    static const int LAUNCH_RESERVE = 16;

    static Server *lastInstance;

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
    void dropPendingLaunch(QWebSocket *client);
    void startLaunch(QWebSocket *client, const QVariantMap &params, LaunchDecision decision);
    // started() when the launch may go on to the policy.
    LaunchResult admitLaunch(const QString &sessionId, const QVariantMap &params) const;
    void reportLaunchFailure(const QString &sessionId, const LaunchResult &result);
    // What a page that asked for outcomes hears of its application.
    void reportStarted(const QString &sessionId);
    void reportJoined(const QString &sessionId);
    void reportEnded(const QString &sessionId, int exitCode, bool crashed);
    static void sendStatus(QWebSocket *connection, const QString &state, const LaunchResult &result,
                           const QVariantMap &extra = QVariantMap());

    SslWebSocketServer *server = nullptr;
    BackPressure *flow = nullptr;
    LaunchQuestion *questions = nullptr;
    // The connections of each session in the order they were admitted, so
    // that a message finds its peer without a walk over every connection.
    QHash<QString, QList<QWebSocket *>> sessions;
    // Launched applications that have not ended yet.
    QSet<QProcess *> running;
    // Admitted launches waiting for their pass of the event loop.
    struct PendingLaunch
    {
        QPointer<QWebSocket> client;
        QVariantMap params;
    };
    QList<PendingLaunch> pendingLaunches;
    // The sessions whose page asked to hear how its application goes, while
    // that application runs; the page is closed only once it heard the end.
    struct Outcome
    {
        QPointer<QWebSocket> page;
        bool started = false;
        bool joined = false;
    };
    QHash<QString, Outcome> outcomes;
    bool launchScheduled = false;
    QString token;
};

#endif // SERVER_H
