#include "redirectserver.h"

#include "logger.h"
#include "mainlauncher.h"
#include "sslwebsocketserver.h"
#include "utils.h"
#include "wire.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>

const char *const PROPERTY_SERVER_INDEX = "KAVREL_SERVER_INDEX";

static const int LIFETIME = 120000;
static const int PORT_WAIT_MS = 5000;
static const int PORT_RETRY_MS = 250;
static const int MAX_PORTS = 5;
static const uint MIN_PORT = 49151;
static const uint MAX_PORT = 65535;
static const int MAX_TOKEN_LENGTH = 2048;

RedirectServer::RedirectServer(QString url, QObject *parent)
    : QObject(parent)
{
    // The state file must exist before the first page asks for the URL.
    MainLauncher::waitForSingleton();

    QSet<QString> hostnames;
    QList<quint16> ports;
    if (const char *reason = readLaunchUrl(url, &hostnames, &ports, &token))
        reportBadUrl(reason, url);
    if (listenOnAll(hostnames, ports))
        startLifetime();
    else
        waitForPorts(hostnames, ports);
}

// Another launcher may hold the ports for a moment (a page that never came
// for its address keeps them longest): they are tried again for a while
// before the user is told.
void RedirectServer::waitForPorts(const QSet<QString> &hostnames, const QList<quint16> &ports)
{
    qInfo() << "RedirectServer: Vsetky porty su obsadene, skusam znova" << PORT_WAIT_MS << "ms";
    waitingForPorts = true;
    QElapsedTimer waited;
    waited.start();
    QTimer *retry = new QTimer(this);
    connect(retry, &QTimer::timeout, this, [this, retry, waited, hostnames, ports]() {
        if (listenOnAll(hostnames, ports)) {
            retry->stop();
            retry->deleteLater();
            startLifetime();
        } else if (waited.hasExpired(PORT_WAIT_MS)) {
            Logger::giveUp(tr("Nepodarilo sa spustiť server. Skontrolujte nastavenie brány firewall."));
        }
    });
    retry->start(PORT_RETRY_MS);
}

// Every host name on every port, the k-th host name shifted by k; true when
// at least one listener started.
bool RedirectServer::listenOnAll(const QSet<QString> &hostnames, const QList<quint16> &ports)
{
    const QMap<QString, QHostAddress> table = Utils::hostnames();
    bool active = false;
    int k = 0;
    for (const QString &hostname : hostnames) {
        const QHostAddress address = table.value(hostname);
        for (quint16 port : ports) {
            if (listen(hostname, address, quint16(port + k))) {
                qInfo() << "RedirectServer: Pocuvam na:" << hostname << address.toString() << port;
                active = true;
            }
        }
        ++k;
    }
    return active;
}

// A page that never comes does not keep the launcher forever.
void RedirectServer::startLifetime()
{
    QTimer *lifetime = new QTimer(this);
    lifetime->setObjectName("lifetime");
    lifetime->setSingleShot(true);
    lifetime->setTimerType(Qt::PreciseTimer);
    connect(lifetime, &QTimer::timeout, this, &RedirectServer::onTimeout);
    lifetime->start(LIFETIME);
}

const char *RedirectServer::readLaunchUrl(const QString &url, QSet<QString> *hostnames, QList<quint16> *ports,
                                          QString *token)
{
    const QUrl launchUrl(url, QUrl::TolerantMode);
    if (!launchUrl.isValid())
        return "Spustacia URL ma nespravny tvar: ";
    const QUrlQuery query(launchUrl);
    auto value = [&query](const QString &key) { return query.queryItemValue(key, QUrl::FullyDecoded).trimmed(); };

    const QStringList hostItems = value("hostnames").split(',', Qt::SkipEmptyParts);
    for (const QString &item : hostItems) {
        const QString hostname = Utils::ipToHostname(item);
        if (hostname.isEmpty())
            qWarning() << "Hostname " << item << " nie je podporovany - vyradujem.";
        else
            hostnames->insert(hostname);
    }
    if (hostnames->isEmpty())
        return "Spustacia URL neobsahuje ziadny platny hostname";

    const QStringList portItems = value("ports").split(',', Qt::SkipEmptyParts);
    for (const QString &item : portItems) {
        const uint port = item.toUInt();
        if (port < MIN_PORT || port > MAX_PORT)
            return "Spustacia URL obsahuje port mimo rozsah ";
        *ports << quint16(port);
    }
    if (ports->isEmpty() || ports->size() > MAX_PORTS)
        return "Spustacia URL obsahuje nespravny pocet portov";

    value("browser");

    *token = value("token");
    if (token->isEmpty())
        return "Chyba parameter token: ";
    // A token no page could ever present in "/getUrl/<token>": one path
    // segment of a request line the server reads (8 KiB), even with every
    // character percent-encoded.
    if (token->size() > MAX_TOKEN_LENGTH)
        return "Spustacia URL obsahuje nespravny token: ";
    for (const QChar c : qAsConst(*token)) {
        if (c.unicode() <= ' ' || c.unicode() > '~' || c == '/')
            return "Spustacia URL obsahuje nespravny token: ";
    }
    return nullptr;
}

void RedirectServer::reportBadUrl(const char *reason, const QString &url)
{
    qWarning() << reason << url;
    Logger::giveUp(tr("Spúšťacia URL ma nesprávny tvar."));
}

bool RedirectServer::listen(QString hostname, QHostAddress address, quint16 port)
{
    SslWebSocketServer *listener = new SslWebSocketServer(hostname, this);
    if (!listener->listen(address, port)) {
        // Said once, not at every try while waiting for the ports.
        if (!waitingForPorts)
            qWarning() << "Volanie webSocketServer.listen zlyhalo:" << listener->errorString();
        delete listener;
        return false;
    }
    connect(listener, &QWebSocketServer::newConnection, this, &RedirectServer::onNewConnection);
    connect(listener, &QWebSocketServer::closed, this, &RedirectServer::onServerClosed);
    servers.append(listener);
    return true;
}

void RedirectServer::onNewConnection()
{
    SslWebSocketServer *listener = qobject_cast<SslWebSocketServer *>(sender());
    if (!listener)
        return;
    while (listener->hasPendingConnections()) {
        QWebSocket *socket = listener->nextPendingConnection();
        const QStringList segments = SslWebSocketServer::admit(socket, "URL ma neplatny tvar", Wire::DENIED);
        if (segments.isEmpty())
            continue;
        if (segments[0] != "getUrl") {
            SslWebSocketServer::refuse(socket, QWebSocketProtocol::CloseCodePolicyViolated, "Neznama operacia");
        } else if (!Wire::sameToken(segments[1], token)) {
            SslWebSocketServer::refuse(socket, QWebSocketProtocol::CloseCodePolicyViolated, Wire::DENIED);
        } else {
            socket->setProperty(PROPERTY_SERVER_INDEX, servers.indexOf(listener));
            connect(socket, &QWebSocket::disconnected, this, &RedirectServer::socketDisconnected);
            const QString pageUrl = Wire::callerUrl(Utils::getServerUrlByHostname(listener->serverName()),
                                                    socket->requestUrl().host(), listener->serverName());
            socket->sendTextMessage(
                Wire::createCommand(QString(), "hello",
                                    {{"url", pageUrl}, {"version", QCoreApplication::applicationVersion()}}));
        }
    }
}

void RedirectServer::socketDisconnected()
{
    QWebSocket *socket = qobject_cast<QWebSocket *>(sender());
    if (!socket)
        return;
    bool ok = false;
    const int index = socket->property(PROPERTY_SERVER_INDEX).toInt(&ok);
    if (ok && index >= 0 && index < servers.size())
        servers[index]->close();
    socket->deleteLater();
}

void RedirectServer::onTimeout()
{
    for (SslWebSocketServer *listener : qAsConst(servers))
        listener->close();
}

void RedirectServer::onServerClosed()
{
    // Inside the main instance a redirect server never ends the program.
    if (Utils::isFirstInstance())
        return;
    for (SslWebSocketServer *listener : qAsConst(servers))
        if (listener->isListening())
            return;
    QCoreApplication::exit(0);
}
