#include "server.h"

#include "backpressure.h"
#include "javaappsmanager.h"
#include "launchquestion.h"
#include "launchstatus.h"
#include "runprocess.h"
#include "settingsdialog.h"
#include "sslwebsocketserver.h"
#include "utils.h"
#include "wire.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <QWebSocket>

const char *const PROPERTY_SESSION_ID = "KAVREL_SESSION_ID";
const char *const PROPERTY_SERVER_HOSTNAME = "KAVREL_SERVER_HOSTNAME";
const char *const PROPERTY_SERVER_PORT = "KAVREL_SERVER_PORT";
const char *const PROPERTY_SERVER_BIND_IP = "KAVREL_BIND_IP";

Server *Server::lastInstance = nullptr;

Server::Server(QString masterToken, QObject *parent)
    : QObject(parent)
    , flow(new BackPressure(this))
    , questions(new LaunchQuestion(this))
    , token(masterToken)
{
    lastInstance = this;
}

QString Server::createCommand(const QString &id, const QString &method, const QVariantMap &params)
{
    return Wire::createCommand(id, method, params);
}

QString Server::readCommand(const QString &msg, QVariantMap *params)
{
    return Wire::readCommand(msg, params);
}

Server::~Server()
{
    // Its pending answers would launch for connections going below.
    delete questions;
    // A connection being deleted still reports its disconnection, which would
    // change the table under this loop.
    QList<QWebSocket *> tracked;
    for (const QList<QWebSocket *> &session : qAsConst(sessions))
        tracked += session;
    sessions.clear();
    flow->clear();
    for (QWebSocket *connection : tracked) {
        disconnect(connection, nullptr, this, nullptr);
        disconnect(connection, nullptr, flow, nullptr);
        delete connection;
    }
    Utils::removeFile(Utils::fileState());
}

QString Server::listen(QString hostname, QHostAddress ip, quint16 port)
{
    server = SslWebSocketServer::start(hostname, ip, port, this, SslWebSocketServer::LogErrorAndPlace);
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

void Server::onNewConnection()
{
    SslWebSocketServer *listener = qobject_cast<SslWebSocketServer *>(sender());
    if (!listener)
        return;
    while (listener->hasPendingConnections()) {
        QWebSocket *socket = listener->nextPendingConnection();
        // Qt hands connections out without a parent; the listener owns them.
        socket->setParent(listener);
        const QStringList segments = SslWebSocketServer::admit(socket, "URL nema platny tvar", Wire::DENIED);
        if (segments.isEmpty())
            continue;
        socket->setProperty(PROPERTY_SERVER_HOSTNAME, listener->serverName());
        socket->setProperty(PROPERTY_SERVER_PORT, listener->serverPort());
        socket->setProperty(PROPERTY_SERVER_BIND_IP, listener->serverAddress().toString());

        if (segments[0] == "slave") {
            if (sessions.contains(segments[1])) {
                accept(socket, segments[1]);
                reportJoined(segments[1]);
            } else
                SslWebSocketServer::refuse(socket, QWebSocketProtocol::CloseCodeNormal, QString());
        } else if (segments[0] == "master") {
            if (!Wire::sameToken(segments[1], token)) {
                SslWebSocketServer::refuse(socket, QWebSocketProtocol::CloseCodePolicyViolated, Wire::DENIED);
            } else if (!AdminPolicy::read().admitsOrigin(socket->origin())) {
                qWarning() << "Pravidla spravcu nepovoluju stranku s povodom" << socket->origin();
                SslWebSocketServer::refuse(socket, QWebSocketProtocol::CloseCodePolicyViolated, Wire::DENIED);
            } else {
                accept(socket, QUuid::createUuid().toString(QUuid::WithoutBraces));
            }
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
    connect(socket, &QWebSocket::aboutToClose, this, [this, socket]() { dropPendingLaunch(socket); });
    flow->watch(socket);
    sessions[sessionId].append(socket);
    socket->sendTextMessage(createCommand(QString(), "hello", {{"version", QCoreApplication::applicationVersion()}}));
}

void Server::textMessageReceived(QWebSocket *client, const QString &msg)
{
    // What a connection still had in flight when it was closed, after a
    // refused launch say, asks for nothing more.
    if (client->state() != QAbstractSocket::ConnectedState)
        return;
    // Reading JSON costs many times the text's size: only what claims to be a
    // command of ours is read, and only when it is small. A status too large
    // to read goes on unchanged.
    const Wire::Command claimed = Wire::claimedCommand(msg);
    const bool readable = msg.size() <= Wire::MAX_COMMAND_SIZE;
    if (claimed == Wire::NoCommand || (claimed == Wire::LaunchStatus && !readable)) {
        forwardMsg(client, msg);
        return;
    }
    if (!readable) {
        // No address that passes is that long.
        reportLaunchFailure(client->property(PROPERTY_SESSION_ID).toString(),
                            {LaunchStatus::Refused, "Adresa JNLP suboru je neplatna.", LaunchStatus::Cause::BadUrl});
        return;
    }
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
                            Wire::callerUrl(statusParams.value("url").toString(), client->requestUrl().host(),
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
    const LaunchResult refusal = admitLaunch(sessionId, params);
    if (!refusal.started()) {
        reportLaunchFailure(sessionId, refusal);
        return;
    }
    // The policy may rewrite the settings file, which takes a while: one
    // launch per pass of the event loop, so that every other session is
    // served in between however many pages launch at once. Never at once:
    // the page's close may wait right behind its command.
    pendingLaunches.append({client, params});
    if (!launchScheduled) {
        launchScheduled = true;
        QTimer::singleShot(0, this, &Server::launchNext);
    }
}

void Server::launchNext()
{
    launchScheduled = false;
    if (pendingLaunches.isEmpty())
        return;
    const PendingLaunch next = pendingLaunches.takeFirst();
    launchScheduled = true;
    QTimer::singleShot(0, this, &Server::launchNext);
    if (next.client)
        startLaunch(next.client, next.params,
                    SettingsDialog::checkApp(next.params.value("url").toString(), next.client->origin()));
}

// A page that is closing or gone wants nothing started.
void Server::dropPendingLaunch(QWebSocket *client)
{
    for (int i = pendingLaunches.size() - 1; i >= 0; --i) {
        if (pendingLaunches[i].client == client)
            pendingLaunches.removeAt(i);
    }
}

void Server::startLaunch(QWebSocket *client, const QVariantMap &params, LaunchDecision decision)
{
    const QString url = params.value("url").toString();
    if (decision == LaunchDecision::Ask) {
        const QPointer<QWebSocket> page(client);
        questions->ask(client, url, [this, page, params](bool allowed) {
            // A page gone meanwhile wants nothing started and hears nothing.
            if (page && page->state() == QAbstractSocket::ConnectedState)
                startLaunch(page, params, allowed ? LaunchDecision::Allow : LaunchDecision::Refuse);
        });
        return;
    }
    const QString javaXmx = params.value("javaXmx").toString();
    const QString javaXms = params.value("javaXms").toString();
    const QString javaXss = params.value("javaXss").toString();

    const QString hostname = client->property(PROPERTY_SERVER_HOSTNAME).toString();
    QString host = Wire::ownHost(client->requestUrl().host(), hostname);
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

    if (decision != LaunchDecision::Allow) {
        qWarning() << "Spustenie aplikacie" << url << "bolo zakazane pouzivatelom";
        reportLaunchFailure(sessionId,
                            {LaunchStatus::Forbidden, "Spustenie aplikacie bolo zakazane pouzivatelom",
                             LaunchStatus::Cause::Forbidden});
        proc->deleteLater();
        return;
    }
    // Known before the start, whose failure may be reported from inside it.
    running.insert(proc);
    if (params.value("outcomes") == QVariant(true))
        outcomes.insert(sessionId, {client, false, false});
    const LaunchResult result = JavaAppsManager::launch(proc, url, javaXmx, javaXms, javaXss);
    if (!result.started()) {
        running.remove(proc);
        outcomes.remove(sessionId);
        reportLaunchFailure(sessionId, result);
        // Never started, so no finished signal will release it.
        proc->deleteLater();
    }
}

LaunchResult Server::admitLaunch(const QString &sessionId, const QVariantMap &params) const
{
    // Only a text can be an address; a number or a missing one would reach
    // javaws as some other argument.
    if (params.value("url").userType() != QMetaType::QString)
        return {LaunchStatus::Refused, "Adresa JNLP suboru je neplatna.", LaunchStatus::Cause::BadUrl};
    const LaunchResult checked = JavaAppsManager::checkArguments(params.value("url").toString(),
                                                                 {params.value("javaXmx").toString(),
                                                                  params.value("javaXms").toString(),
                                                                  params.value("javaXss").toString()});
    if (!checked.started())
        return checked;
    // The session's one slave place is taken, or will be by the application
    // still running: a second application could never join.
    bool busy = sessions.value(sessionId).size() > 1;
    for (const QProcess *proc : running)
        busy = busy || proc->property(PROPERTY_SESSION_ID).toString() == sessionId;
    for (const PendingLaunch &pending : pendingLaunches)
        busy = busy || (pending.client && pending.client->property(PROPERTY_SESSION_ID).toString() == sessionId);
    busy = busy || questions->asks(sessionId);
    if (busy)
        return {LaunchStatus::Refused, "Relacia uz ma spustenu aplikaciu.", LaunchStatus::Cause::SessionBusy};
    // Each running application holds descriptors of ours; the agent's own
    // work must never run out of them.
    const bool tooMany = running.size() + pendingLaunches.size() + questions->waiting() >= MAX_RUNNING_APPS;
    if (tooMany || !server || server->spareDescriptors() < LAUNCH_RESERVE) {
        qWarning() << "Prilis vela spustenych aplikacii - odmietam spustenie" << running.size();
        return {LaunchStatus::FailedToStart,
                "Nepodarilo sa spustit aplikaciu. Dovod: FailedToStart Prilis vela spustenych aplikacii",
                tooMany ? LaunchStatus::Cause::TooManyApps : LaunchStatus::Cause::NoDescriptors};
    }
    return {};
}

void Server::sendStatus(QWebSocket *connection, const QString &state, const LaunchResult &result,
                        const QVariantMap &extra)
{
    QVariantMap params = extra;
    params.insert("cause", result.cause);
    params.insert("code", result.code);
    params.insert("message", result.message);
    params.insert("state", state);
    connection->sendTextMessage(createCommand("", "kavrel.launchStatus", params));
}

void Server::reportLaunchFailure(const QString &sessionId, const LaunchResult &result)
{
    QWebSocket *first = sessions.value(sessionId).value(0);
    if (!first)
        return;
    sendStatus(first, "error", result);
    first->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

void Server::reportStarted(const QString &sessionId)
{
    const auto outcome = outcomes.find(sessionId);
    if (outcome == outcomes.end() || outcome->started)
        return;
    outcome->started = true;
    if (outcome->page)
        sendStatus(outcome->page, "started", {LaunchStatus::Started, QString(), LaunchStatus::Cause::ProcessStarted});
}

void Server::reportJoined(const QString &sessionId)
{
    const auto outcome = outcomes.find(sessionId);
    if (outcome == outcomes.end() || outcome->joined)
        return;
    // The application may well connect before its start has been noticed.
    reportStarted(sessionId);
    outcome->joined = true;
    if (outcome->page)
        sendStatus(outcome->page, "joined", {LaunchStatus::Started, QString(), LaunchStatus::Cause::Joined});
}

void Server::reportEnded(const QString &sessionId, int exitCode, bool crashed)
{
    if (!outcomes.contains(sessionId))
        return;
    reportStarted(sessionId);
    const QPointer<QWebSocket> page = outcomes.take(sessionId).page;
    if (!page || page->state() != QAbstractSocket::ConnectedState)
        return;
    sendStatus(page, "ended",
               {LaunchStatus::Started, QString(), crashed ? LaunchStatus::Cause::Crashed : LaunchStatus::Cause::Exited},
               {{"exitCode", exitCode}, {"crashed", crashed}});
    page->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

void Server::onProcessStarted()
{
    if (QProcess *proc = qobject_cast<QProcess *>(sender()))
        reportStarted(proc->property(PROPERTY_SESSION_ID).toString());
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
    reportEnded(proc->property(PROPERTY_SESSION_ID).toString(), exitCode, exitStatus == QProcess::CrashExit);
    proc->deleteLater();
}

void Server::onProcessError(QProcess::ProcessError error)
{
    QProcess *proc = qobject_cast<QProcess *>(sender());
    if (!proc)
        return;
    const QString name = RunProcess::errorName(error);
    qWarning() << "Nepodarilo sa spustit aplikaciu. Dovod: " << name << proc->errorString();
    const QString sessionId = proc->property(PROPERTY_SESSION_ID).toString();
    if (error == QProcess::FailedToStart) {
        outcomes.remove(sessionId);
        reportLaunchFailure(sessionId,
                            {LaunchStatus::FailedToStart,
                             "Nepodarilo sa spustit aplikaciu. Dovod: " + name + " " + proc->errorString(),
                             LaunchStatus::Cause::FailedToStart});
        // A process that never started sends no finished signal.
        running.remove(proc);
        proc->deleteLater();
        return;
    }
    // A page that asked for outcomes hears of the end, crash or not, once the
    // process has ended.
    if (outcomes.contains(sessionId))
        return;
    reportLaunchFailure(sessionId,
                        {LaunchStatus::ProcessError,
                         "Nepodarilo sa spustit aplikaciu. Dovod: " + name + " " + proc->errorString(),
                         error == QProcess::Crashed ? LaunchStatus::Cause::Crashed
                                                    : LaunchStatus::Cause::ProcessError});
}

void Server::forwardMsg(QWebSocket *client, const QString &msg)
{
    const QList<QWebSocket *> peers = sessions.value(client->property(PROPERTY_SESSION_ID).toString());
    for (QWebSocket *c : peers) {
        if (c != client) {
            c->sendTextMessage(msg);
            // Out now rather than from a call Qt queues for the next pass of
            // the event loop; the back-pressure then weighs what is left.
            c->flush();
            // A failed write ends the peer at once, and nobody waits for it.
            if (c->state() != QAbstractSocket::UnconnectedState)
                flow->relayed(client, c);
            return;
        }
    }
}

void Server::socketDisconnected(QWebSocket *client)
{
    const QString sessionId = client->property(PROPERTY_SESSION_ID).toString();
    const QList<QWebSocket *> peers = sessions.value(sessionId);
    dropPendingLaunch(client);
    // Whoever waited for it is read again before the teardown may close it.
    flow->release(client);
    // Out of the tables before the peer is closed: the peer's own disconnection
    // can be handled inside close() and must pass the teardown on, not back here.
    QList<QWebSocket *> &remaining = sessions[sessionId];
    remaining.removeOne(client);
    if (remaining.isEmpty())
        sessions.remove(sessionId);
    // A page that asked for outcomes is closed once it has heard the end of
    // its application, which may come after the application's connection went.
    const QWebSocket *waiting = outcomes.value(sessionId).page;
    for (QWebSocket *c : peers) {
        if (c != client) {
            if (c != waiting)
                c->close(QWebSocketProtocol::CloseCodeNormal, QString());
            break;
        }
    }
    client->deleteLater();
}
