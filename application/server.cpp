#include "server.h"

#include "javaappsmanager.h"
#include "launchstatus.h"
#include "runprocess.h"
#include "settingsdialog.h"
#include "sslwebsocketserver.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEvent>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSet>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <QWebSocket>

#include <openssl/crypto.h>

const char *const PROPERTY_SESSION_ID = "KAVREL_SESSION_ID";
const char *const PROPERTY_SERVER_HOSTNAME = "KAVREL_SERVER_HOSTNAME";
const char *const PROPERTY_SERVER_PORT = "KAVREL_SERVER_PORT";
const char *const PROPERTY_SERVER_BIND_IP = "KAVREL_BIND_IP";

Server *Server::lastInstance = nullptr;

static const QString DENIED = "Pristup zamietnuty";

namespace {

// The text of a JSON string starting at json[i] (a quote); i ends after it.
QString readJsonString(const QString &json, int &i)
{
    static const QString escapes = "\"\\/bfnrt";
    static const QString meanings = "\"\\/\b\f\n\r\t";
    QString text;
    for (++i; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] != '\\') {
            text += json[i];
        } else if (++i < json.size()) {
            if (json[i] == 'u') {
                text += QChar(json.midRef(i + 1, 4).toUShort(nullptr, 16));
                i += 4;
            } else {
                const int known = escapes.indexOf(json[i]);
                text += known < 0 ? json[i] : meanings[known];
            }
        }
    }
    ++i;
    return text;
}

// Qt's JSON reader loses the memory of a container whose key comes again in
// the same object, so a peer could grow the agent without end; such a text
// is not read as a command at all.
bool hasRepeatedKey(const QString &json)
{
    struct Container
    {
        bool isObject;
        bool expectingKey;
        QSet<QString> keys;
    };
    QList<Container> open;
    for (int i = 0; i < json.size();) {
        const QChar c = json[i];
        if (c == '"') {
            const bool isKey = !open.isEmpty() && open.last().expectingKey;
            const QString text = readJsonString(json, i);
            if (isKey) {
                if (open.last().keys.contains(text))
                    return true;
                open.last().keys.insert(text);
                open.last().expectingKey = false;
            }
            continue;
        }
        if (c == '{' || c == '[')
            open.append({c == '{', c == '{', {}});
        else if ((c == '}' || c == ']') && !open.isEmpty())
            open.removeLast();
        else if (c == ',' && !open.isEmpty() && open.last().isObject)
            open.last().expectingKey = true;
        ++i;
    }
    return false;
}

} // namespace

Server::Server(QString masterToken, QObject *parent)
    : QObject(parent)
    , token(masterToken)
{
    lastInstance = this;
}

Server::~Server()
{
    // A connection being deleted still reports its disconnection, which would
    // change the table under this loop.
    QList<QWebSocket *> tracked;
    for (const QList<QWebSocket *> &session : qAsConst(sessions))
        tracked += session;
    sessions.clear();
    pausedOn.clear();
    waiters.clear();
    for (QWebSocket *connection : tracked) {
        disconnect(connection, nullptr, this, nullptr);
        delete connection;
    }
    Utils::removeFile(Utils::fileState());
}

QString Server::listen(QString hostname, QHostAddress ip, quint16 port)
{
    server = SslWebSocketServer::start(hostname, ip, port, this, true);
    connect(server, &QWebSocketServer::newConnection, this, &Server::onNewConnection);
    connect(server, &QWebSocketServer::closed, this, &Server::closed);
    if (!server->isListening())
        return QString();
    return "wss://" + hostname + ":" + QString::number(server->serverPort());
}

quint16 Server::port() const
{
    return server ? server->serverPort() : 0;
}

QString Server::createCommand(const QString &id, const QString &method, const QVariantMap &params)
{
    // QJsonObject keeps its members sorted by name, which is the order we promise.
    QJsonObject command;
    command.insert("id", id.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(id));
    command.insert("jsonrpc", "2.0");
    command.insert("method", method);
    command.insert("params", QJsonObject::fromVariantMap(params));
    return QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact));
}

QString Server::readCommand(const QString &msg, QVariantMap *params)
{
    if (hasRepeatedKey(msg)) {
        if (params)
            params->clear();
        return QString();
    }
    const QJsonObject command = QJsonDocument::fromJson(msg.toUtf8()).object();
    if (params)
        *params = command.value("params").toObject().toVariantMap();
    return command.value("method").toString();
}

void Server::onNewConnection()
{
    SslWebSocketServer *listener = qobject_cast<SslWebSocketServer *>(sender());
    if (!listener)
        return;
    while (listener->hasPendingConnections()) {
        QWebSocket *socket = listener->nextPendingConnection();
        // Qt hands connections out without a parent; the listener owns them.
        socket->setParent(listener);
        const QStringList segments = SslWebSocketServer::admit(socket, "URL nema platny tvar", DENIED);
        if (segments.isEmpty())
            continue;
        socket->setProperty(PROPERTY_SERVER_HOSTNAME, listener->serverName());
        socket->setProperty(PROPERTY_SERVER_PORT, listener->serverPort());
        socket->setProperty(PROPERTY_SERVER_BIND_IP, listener->serverAddress().toString());

        if (segments[0] == "slave") {
            if (sessions.contains(segments[1]))
                accept(socket, segments[1]);
            else
                SslWebSocketServer::refuse(socket, QWebSocketProtocol::CloseCodeNormal, QString());
        } else if (segments[0] == "master") {
            if (!sameToken(segments[1], token))
                SslWebSocketServer::refuse(socket, QWebSocketProtocol::CloseCodePolicyViolated, DENIED);
            else
                accept(socket, QUuid::createUuid().toString(QUuid::WithoutBraces));
        } else {
            SslWebSocketServer::refuse(socket, QWebSocketProtocol::CloseCodePolicyViolated, "Neznama operacia");
        }
    }
}

void Server::accept(QWebSocket *socket, const QString &sessionId)
{
    socket->setProperty(PROPERTY_SESSION_ID, sessionId);
    // The socket comes with the call: sender() walks every connection made to
    // this object, thousands with many peers open.
    connect(socket, &QWebSocket::textMessageReceived, this,
            [this, socket](const QString &msg) { textMessageReceived(socket, msg); });
    connect(socket, &QWebSocket::disconnected, this, [this, socket]() { socketDisconnected(socket); });
    connect(socket, &QWebSocket::bytesWritten, this, [this, socket]() { peerDrained(socket); });
    socket->installEventFilter(this);
    sessions[sessionId].append(socket);
    socket->sendTextMessage(createCommand(QString(), "hello", {{"version", QCoreApplication::applicationVersion()}}));
}

QString Server::ownHost(const QString &requestHost, const QString &listenerName)
{
    const QMap<QString, QHostAddress> table = Utils::hostnames();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (requestHost.compare(it.key(), Qt::CaseInsensitive) == 0)
            return it.key();
        if (requestHost == it.value().toString())
            return requestHost;
    }
    return listenerName;
}

QString Server::callerUrl(const QString &url, const QString &requestHost, const QString &listenerName)
{
    if (url.isEmpty())
        return QString();
    QUrl rewritten(url, QUrl::TolerantMode);
    rewritten.setHost(ownHost(requestHost, listenerName));
    return rewritten.toString();
}

bool Server::sameToken(const QString &presented, const QString &expected)
{
    const QByteArray a = presented.toUtf8();
    const QByteArray b = expected.toUtf8();
    // Only the length may show, and a token's length is no secret.
    return a.size() == b.size() && CRYPTO_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

void Server::textMessageReceived(QWebSocket *client, const QString &msg)
{
    // What a connection still had in flight when it was closed, after a
    // refused launch say, asks for nothing more.
    if (client->state() != QAbstractSocket::ConnectedState)
        return;
    QVariantMap params;
    const QString method = readCommand(msg, &params);
    if (method == "kavrel.launch") {
        cmdLaunch(client, params);
        return;
    }
    if (method == "kavrel.launchStatus" && params.contains("url")) {
        // The application names its own listener by address; the page gets
        // the host it used itself.
        QJsonObject command = QJsonDocument::fromJson(msg.toUtf8()).object();
        QJsonObject statusParams = command.value("params").toObject();
        statusParams.insert("url",
                            callerUrl(statusParams.value("url").toString(), client->requestUrl().host(),
                                      client->property(PROPERTY_SERVER_HOSTNAME).toString()));
        command.insert("params", statusParams);
        forwardMsg(client, QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact)));
        return;
    }
    forwardMsg(client, msg);
}

void Server::cmdLaunch(QWebSocket *client, const QVariantMap &params)
{
    // Before the policy, which remembers every address it is asked about.
    const QString sessionId = client->property(PROPERTY_SESSION_ID).toString();
    const QPair<int, QString> refusal = admitLaunch(sessionId, params.value("url").toString(),
                                                    {params.value("javaXmx").toString(),
                                                     params.value("javaXms").toString(),
                                                     params.value("javaXss").toString()});
    if (refusal.first != LaunchStatus::Started) {
        reportLaunchFailure(sessionId, refusal.first, refusal.second);
        return;
    }
    // The policy may rewrite the settings file, which takes a while: one
    // launch per pass of the event loop, so that every other session is
    // served in between however many pages launch at once.
    pendingLaunches.append({client, params});
    if (!launchedInPass)
        launchNext();
}

void Server::launchNext()
{
    launchedInPass = false;
    if (pendingLaunches.isEmpty())
        return;
    const PendingLaunch next = pendingLaunches.takeFirst();
    launchedInPass = true;
    QTimer::singleShot(0, this, &Server::launchNext);
    // A page gone meanwhile wants nothing started.
    if (next.client && next.client->state() == QAbstractSocket::ConnectedState)
        startLaunch(next.client, next.params);
}

void Server::startLaunch(QWebSocket *client, const QVariantMap &params)
{
    const QString url = params.value("url").toString();
    const QString javaXmx = params.value("javaXmx").toString();
    const QString javaXms = params.value("javaXms").toString();
    const QString javaXss = params.value("javaXss").toString();

    const QString hostname = client->property(PROPERTY_SERVER_HOSTNAME).toString();
    QString host = ownHost(client->requestUrl().host(), hostname);
    if (host.contains(':'))
        host = "[" + host + "]";
    const QString port = client->property(PROPERTY_SERVER_PORT).toString();
    const QString sessionId = client->property(PROPERTY_SESSION_ID).toString();
    const QString bindIp = client->property(PROPERTY_SERVER_BIND_IP).toString();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KAVREL_URL", QString("wss://%1:%2/slave/%3").arg(host, port, sessionId));
    env.insert("KAVREL_CA_FILE", Utils::fileCertificateCa());
    env.insert("KAVREL_P12_FILE", Utils::fileCertificateSsl(hostname));
    env.insert("KAVREL_P12_PASSWORD", Utils::passwordCertificateSsl());
    env.insert("KAVREL_BIND_IP", bindIp);

    QProcess *proc = new QProcess();
    proc->setProcessEnvironment(env);
    proc->setProperty(PROPERTY_SESSION_ID, sessionId);
    // Nobody reads what the application prints: standard output goes nowhere
    // and only the tail of standard error stays, for the log.
    proc->setStandardOutputFile(QProcess::nullDevice());
    proc->setReadChannel(QProcess::StandardError);
    connect(proc, &QProcess::readyReadStandardError, proc, [proc]() {
        const qint64 excess = proc->bytesAvailable() - ERROR_TAIL;
        if (excess > 0)
            proc->skip(excess);
    });
    connect(proc, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &Server::onProcessFinished);
    connect(proc, &QProcess::errorOccurred, this, &Server::onProcessError);
    connect(proc, &QProcess::started, this, &Server::onProcessStarted);

    QPair<int, QString> result(LaunchStatus::Started, QString());
    if (SettingsDialog::checkApp(url)) {
        result = JavaAppsManager::launch(proc, url, javaXmx, javaXms, javaXss);
    } else {
        qWarning() << "Spustenie aplikacie" << url << "bolo zakazane pouzivatelom";
        result = qMakePair(int(LaunchStatus::Forbidden), QString("Spustenie aplikacie bolo zakazane pouzivatelom"));
    }
    if (result.first != LaunchStatus::Started) {
        reportLaunchFailure(sessionId, result.first, result.second);
        // Never started, so no finished signal will release it.
        proc->deleteLater();
        return;
    }
    running.insert(proc);
}

QPair<int, QString> Server::admitLaunch(const QString &sessionId, const QString &url, const QStringList &options) const
{
    const QPair<int, QString> checked = JavaAppsManager::checkArguments(url, options);
    if (checked.first != LaunchStatus::Started)
        return checked;
    // The session's one slave place is taken, or will be by the application
    // still running: a second application could never join.
    bool busy = sessions.value(sessionId).size() > 1;
    for (const QProcess *proc : running)
        busy = busy || proc->property(PROPERTY_SESSION_ID).toString() == sessionId;
    for (const PendingLaunch &pending : pendingLaunches)
        busy = busy || (pending.client && pending.client->property(PROPERTY_SESSION_ID).toString() == sessionId);
    if (busy)
        return qMakePair(int(LaunchStatus::Refused), QString("Relacia uz ma spustenu aplikaciu."));
    // Each running application holds descriptors of ours; the agent's own
    // work must never run out of them.
    if (running.size() + pendingLaunches.size() >= MAX_RUNNING_APPS || !server
        || server->spareDescriptors() < LAUNCH_RESERVE) {
        qWarning() << "Prilis vela spustenych aplikacii - odmietam spustenie" << running.size();
        return qMakePair(int(LaunchStatus::FailedToStart),
                         QString("Nepodarilo sa spustit aplikaciu. Dovod: FailedToStart Prilis vela "
                                 "spustenych aplikacii"));
    }
    return qMakePair(int(LaunchStatus::Started), QString());
}

void Server::reportLaunchFailure(const QString &sessionId, int code, const QString &message)
{
    QWebSocket *first = sessions.value(sessionId).value(0);
    if (!first)
        return;
    first->sendTextMessage(
        createCommand("", "kavrel.launchStatus", {{"state", "error"}, {"code", code}, {"message", message}}));
    first->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

void Server::onProcessStarted()
{
}

void Server::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    QProcess *proc = qobject_cast<QProcess *>(sender());
    if (!proc)
        return;
    if (exitStatus != QProcess::NormalExit || exitCode != 0) {
        const QByteArray tail = proc->peek(ERROR_TAIL);
        if (!tail.isEmpty())
            qInfo() << "Chybovy vystup aplikacie:" << QString::fromUtf8(tail);
    }
    running.remove(proc);
    proc->deleteLater();
}

void Server::onProcessError(QProcess::ProcessError error)
{
    QProcess *proc = qobject_cast<QProcess *>(sender());
    if (!proc)
        return;
    const QString name = RunProcess::errorName(error);
    qWarning() << "Nepodarilo sa spustit aplikaciu. Dovod: " << name << proc->errorString();
    const int code = error == QProcess::FailedToStart ? LaunchStatus::FailedToStart : LaunchStatus::ProcessError;
    reportLaunchFailure(proc->property(PROPERTY_SESSION_ID).toString(), code,
                        "Nepodarilo sa spustit aplikaciu. Dovod: " + name + " " + proc->errorString());
    // A process that never started sends no finished signal.
    if (error == QProcess::FailedToStart) {
        running.remove(proc);
        proc->deleteLater();
    }
}

void Server::forwardMsg(QWebSocket *client, const QString &msg)
{
    const QList<QWebSocket *> peers = sessions.value(client->property(PROPERTY_SESSION_ID).toString());
    for (QWebSocket *c : peers) {
        if (c != client) {
            c->sendTextMessage(msg);
            if (backlog(c) > PAUSE_BACKLOG)
                pause(client, c);
            return;
        }
    }
}

qint64 Server::backlog(QWebSocket *socket)
{
    // Qt encrypts at once; what the peer has not taken waits below the TLS layer.
    const QSslSocket *tls = SslWebSocketServer::transport(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

void Server::pause(QWebSocket *sender, QWebSocket *peer)
{
    // Without its socket a paused connection could not be woken again.
    if (pausedOn.contains(sender) || !SslWebSocketServer::transport(sender))
        return;
    pausedOn.insert(sender, peer);
    waiters[peer].append(sender);
    // A full read buffer stops the socket reading, and TCP holds the sender back.
    sender->setReadBufferSize(PAUSED_READ_BUFFER);
    // Qt drops a connection whose frame stalls for seconds, but this stall is
    // ours; the frame reader may restart its timer when the delivery under
    // way returns, hence after it. Not queued on the sender: its calls wait.
    QTimer::singleShot(0, this, [this, guarded = QPointer<QWebSocket>(sender)]() {
        if (guarded && pausedOn.contains(guarded)) {
            for (QTimer *timer : guarded->findChildren<QTimer *>())
                timer->stop();
        }
    });
}

bool Server::forgetPause(QWebSocket *sender)
{
    QWebSocket *peer = pausedOn.take(sender);
    if (!peer)
        return false;
    QList<QWebSocket *> &list = waiters[peer];
    list.removeOne(sender);
    if (list.isEmpty())
        waiters.remove(peer);
    return true;
}

void Server::resume(QWebSocket *sender)
{
    if (!forgetPause(sender))
        return;
    sender->setReadBufferSize(0);
    // What arrived meanwhile is read as if it had just come.
    if (QSslSocket *tls = SslWebSocketServer::transport(sender))
        emit tls->readyRead();
}

void Server::peerDrained(QWebSocket *peer)
{
    if (waiters.contains(peer) && backlog(peer) <= RESUME_BACKLOG)
        resumeWaitersOf(peer);
}

void Server::resumeWaitersOf(QWebSocket *peer)
{
    const QList<QWebSocket *> paused = waiters.value(peer);
    for (QWebSocket *sender : paused)
        resume(sender);
}

bool Server::eventFilter(QObject *watched, QEvent *event)
{
    // A connection reads its socket through a queued call; a paused one's is
    // dropped here and made again by resume().
    if (event->type() != QEvent::MetaCall)
        return QObject::eventFilter(watched, event);
    QWebSocket *socket = qobject_cast<QWebSocket *>(watched);
    if (pausedOn.contains(socket))
        return true;
    // What a connection sends itself (the pong of each ping) waits for it
    // too: one that does not take its own output is not read until it does.
    if (socket && backlog(socket) > PAUSE_BACKLOG) {
        pause(socket, socket);
        return pausedOn.contains(socket);
    }
    return false;
}

void Server::socketDisconnected(QWebSocket *client)
{
    const QString sessionId = client->property(PROPERTY_SESSION_ID).toString();
    const QList<QWebSocket *> peers = sessions.value(sessionId);
    // Whoever waited for it is read again before the teardown may close it;
    // its own pause just ends, as nothing of it is relayed any more.
    resumeWaitersOf(client);
    forgetPause(client);
    // Out of the tables before the peer is closed: the peer's own disconnection
    // can be handled inside close() and must pass the teardown on, not back here.
    QList<QWebSocket *> &remaining = sessions[sessionId];
    remaining.removeOne(client);
    if (remaining.isEmpty())
        sessions.remove(sessionId);
    for (QWebSocket *c : peers) {
        if (c != client) {
            c->close(QWebSocketProtocol::CloseCodeNormal, QString());
            break;
        }
    }
    client->deleteLater();
}
