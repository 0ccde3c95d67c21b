#include "sslwebsocketserver.h"

#include "certificategenerator.h"
#include "logger.h"
#include "utils.h"

#include <QChildEvent>
#include <QDebug>
#include <QFile>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

static const char *const PROPERTY_TRANSPORT = "kavrel_transport";
static const char *const PROPERTY_HANDED_OUT = "kavrel_handed_out";
static const char *const PROPERTY_OWN_ACCOUNT = "kavrel_own_account";
static const int SWEEP_INTERVAL = 1000;
static const char *const PROPERTY_LINGER = "kavrel_linger";
static const int LINGER_MS = 5000;

namespace {

// Holds a closed connection's TCP socket a little longer, reading and
// dropping what the peer still sends: closing it with unread data would make
// the system reset the connection and throw our close frame away.
class Linger : public QObject
{
public:
    Linger(int socketDescriptor, QObject *parent)
        : QObject(parent)
        , descriptor(socketDescriptor)
        , notifier(socketDescriptor, QSocketNotifier::Read)
    {
        ::shutdown(descriptor, SHUT_WR);
        connect(&notifier, &QSocketNotifier::activated, this, &Linger::drain);
        QTimer::singleShot(LINGER_MS, this, &QObject::deleteLater);
    }

    ~Linger() override
    {
        notifier.setEnabled(false);
        ::close(descriptor);
    }

private:
    void drain()
    {
        char buffer[65536];
        ssize_t n;
        while ((n = ::recv(descriptor, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            notifier.setEnabled(false);
            deleteLater();
        }
    }

    int descriptor;
    QSocketNotifier notifier;
};

} // namespace

// Accepts for the listener, which makes the socket of each descriptor, and
// tells it when one goes: QWebSocket severs every connection of its socket
// before deleting it, but the parent still hears of it.
class SslWebSocketServer::Acceptor : public QTcpServer
{
public:
    explicit Acceptor(SslWebSocketServer *owner)
        : QTcpServer(owner)
        , listener(owner)
    {
        // No second accept before the first is taken, so that the descriptors
        // are counted between any two.
        setMaxPendingConnections(1);
    }

    int held() const { return sockets.size(); }
    // The listener is going: it hears of nothing more.
    void detach() { listener = nullptr; }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (QSslSocket *socket = listener ? listener->incoming(descriptor) : nullptr) {
            sockets.insert(socket);
            addPendingConnection(socket);
        } else if (!listener) {
            ::close(int(descriptor));
        }
    }

    void childEvent(QChildEvent *event) override
    {
        if (event->removed() && sockets.remove(event->child()) && listener)
            listener->connectionGone();
    }

private:
    SslWebSocketServer *listener;
    QSet<QObject *> sockets;
};

// Without its certificate a listener is useless, so every failure here ends
// the program through the critical log path.
SslWebSocketServer::SslWebSocketServer(QString hostname, QObject *parent)
    : QWebSocketServer(hostname, QWebSocketServer::SecureMode, parent)
{
    QFile file(Utils::fileCertificateSsl(hostname));
    if (!file.open(QIODevice::ReadOnly))
        Logger::giveUp(tr("Nepodarilo sa otvoriť súbor s SSL certifikátom. Dôvod: %1").arg(file.errorString()));

    QSslCertificate certificate;
    QSslKey key;
    if (!CertificateGenerator::importPkcs12(&file, &key, &certificate, nullptr,
                                            Utils::passwordCertificateSsl().toUtf8()))
        Logger::giveUp(tr("Nepodarilo sa načítať SSL certifikát."));
    file.close();

    if (certificate.subjectInfo(QSslCertificate::CommonName).size() != 1) {
        qWarning() << "Nepodarilo sa vycitat CN z SSL certifikatu";
        Logger::giveUp(tr("Nepodarilo sa načítať SSL certifikát."));
    }

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    // Negotiates TLS 1.3 or 1.2 here: the system's OpenSSL refuses older ones.
    configuration.setProtocol(QSsl::TlsV1SslV3);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(key);
    setSslConfiguration(configuration);

    tcp = new Acceptor(this);
    // Taken on the next pass: the acceptor accepts no more until then.
    connect(tcp, &QTcpServer::newConnection, this, &SslWebSocketServer::taken, Qt::QueuedConnection);
    // Out of descriptors, the acceptor stops by itself.
    connect(tcp, &QTcpServer::acceptError, this, &SslWebSocketServer::starve);

    starved = new QTimer(this);
    starved->setSingleShot(true);
    connect(starved, &QTimer::timeout, this, &SslWebSocketServer::retry);

    // Runs only while a handshake is pending, so an idle listener never wakes.
    sweep = new QTimer(this);
    sweep->setObjectName("sweep");
    sweep->setInterval(SWEEP_INTERVAL);
    connect(sweep, &QTimer::timeout, this, &SslWebSocketServer::releaseAbandoned);
}

SslWebSocketServer::~SslWebSocketServer()
{
    tcp->detach();
}

// Qt closes a connection whose TLS or WebSocket handshake never finishes
// (garbage, a peer that left, the handshake time-out) but keeps its socket,
// so any local process could grow the agent without end. Connections are
// taken as soon as they are announced, so an unconnected socket that was
// never handed out is abandoned.
void SslWebSocketServer::releaseAbandoned()
{
    bool pending = false;
    for (QSslSocket *socket : acceptedSockets()) {
        if (socket->property(PROPERTY_HANDED_OUT).toBool())
            continue;
        if (socket->state() == QAbstractSocket::UnconnectedState)
            socket->deleteLater();
        else
            pending = true;
    }
    if (!pending)
        sweep->stop();
}

QList<QSslSocket *> SslWebSocketServer::acceptedSockets() const
{
    return tcp->findChildren<QSslSocket *>(QString(), Qt::FindDirectChildrenOnly);
}

SslWebSocketServer *SslWebSocketServer::start(const QString &hostname, const QHostAddress &address, quint16 port,
                                              QObject *owner, ListenFailure failure)
{
    SslWebSocketServer *listener = new SslWebSocketServer(hostname, owner);
    if (!listener->listen(address, port)) {
        if (failure == LogErrorAndPlace)
            qWarning() << "Volanie webSocketServer.listen zlyhalo:" << listener->errorString() << hostname
                       << address.toString() << port;
        else
            qWarning() << "Volanie webSocketServer.listen zlyhalo:" << listener->errorString();
    }
    return listener;
}

bool SslWebSocketServer::listen(const QHostAddress &address, quint16 port)
{
    if (!tcp->listen(address, port))
        return false;
    const int on = 1, receiveBuffer = RECEIVE_BUFFER;
    ::setsockopt(int(tcp->socketDescriptor()), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(int(tcp->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    return true;
}

void SslWebSocketServer::close()
{
    starved->stop();
    tcp->close();
    QWebSocketServer::close();
}

bool SslWebSocketServer::isListening() const
{
    return tcp->isListening();
}

quint16 SslWebSocketServer::serverPort() const
{
    return tcp->serverPort();
}

QHostAddress SslWebSocketServer::serverAddress() const
{
    return tcp->serverAddress();
}

QString SslWebSocketServer::errorString() const
{
    return tcp->errorString();
}

QSslSocket *SslWebSocketServer::incoming(qintptr descriptor)
{
    QSslSocket *socket = new QSslSocket(tcp);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        delete socket;
        return nullptr;
    }
    if (!sweep->isActive())
        sweep->start();

    // Every local account reaches loopback; only the user's own processes may
    // hold tokens that start applications as the user. Asked before any TLS
    // work, told with the refusal once the peer can read it.
    const qint64 owner = Utils::socketOwner(socket->peerAddress(), socket->peerPort(), socket->localAddress(),
                                            socket->localPort());
    if (owner == qint64(::getuid()))
        socket->setProperty(PROPERTY_OWN_ACCOUNT, true);
    else if (owner == Utils::OWNER_UNASKED)
        qWarning().noquote() << "Kontrola vlastnika spojenia sa nedala vykonat:" << ::strerror(errno) << "- odmietam";
    else if (owner < 0)
        qWarning() << "Nepodarilo sa zistit vlastnika spojenia - odmietam";
    else
        qWarning().noquote() << QString("Spojenie z ineho uctu (uid %1) - odmietam").arg(owner);

    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSslConfiguration(sslConfiguration());
    handleConnection(socket);
    socket->startServerEncryption();
    return socket;
}

// The acceptor accepts no more until its connection is taken; in between,
// whether enough descriptors remain for another.
void SslWebSocketServer::taken()
{
    while (tcp->nextPendingConnection()) {
    }
    if (spareDescriptors() <= ACCEPT_RESERVE)
        starve();
    else
        updateAccepting();
}

// The kernel hands out the lowest free descriptor, so that one's distance
// from the limit tells what is left.
int SslWebSocketServer::spareDescriptors() const
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    const int lowest = ::fcntl(int(tcp->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (lowest < 0)
        return 0;
    ::close(lowest);
    return int(qMin<rlim_t>(limit.rlim_cur - rlim_t(lowest), INT_MAX));
}

// While it waits, the listening socket is not watched at all: connections
// left in its queue must not wake the agent.
void SslWebSocketServer::starve()
{
    if (!starved->isActive())
        qWarning() << "Nedostatok deskriptorov - prestavam prijimat spojenia na" << ACCEPT_RETRY_MS << "ms"
                   << serverName() << serverPort();
    starved->start(ACCEPT_RETRY_MS);
    updateAccepting();
}

void SslWebSocketServer::retry()
{
    if (spareDescriptors() > ACCEPT_RESERVE) {
        updateAccepting();
        return;
    }
    pollfd queue{int(tcp->socketDescriptor()), POLLIN, 0};
    if (::poll(&queue, 1, 0) == 1)
        starve();
    else
        starved->start(ACCEPT_RETRY_MS);
}

// A descriptor came free: worth another try at once, should it end a
// shortage.
void SslWebSocketServer::connectionGone()
{
    if (starved->isActive() && spareDescriptors() > ACCEPT_RESERVE)
        starved->stop();
    updateAccepting();
}

// Applied every time: taking a connection resumes the acceptor.
void SslWebSocketServer::updateAccepting()
{
    if (!tcp->isListening())
        return;
    if (!starved->isActive() && tcp->held() + lingering < MAX_CONNECTIONS)
        tcp->resumeAccepting();
    else
        tcp->pauseAccepting();
}

QWebSocket *SslWebSocketServer::nextPendingConnection()
{
    QWebSocket *socket = QWebSocketServer::nextPendingConnection();
    if (!socket)
        return nullptr;
    socket->setMaxAllowedIncomingFrameSize(MAX_MESSAGE_SIZE);
    socket->setMaxAllowedIncomingMessageSize(MAX_MESSAGE_SIZE);
    // QWebSocket does not expose its TCP socket; among the accepted ones, the
    // peer's address and port tell it apart.
    const QList<QSslSocket *> candidates = acceptedSockets();
    for (QSslSocket *candidate : candidates) {
        if (candidate->peerPort() == socket->peerPort() && candidate->peerAddress() == socket->peerAddress()
            && candidate->state() == QAbstractSocket::ConnectedState) {
            candidate->setProperty(PROPERTY_HANDED_OUT, true);
            socket->setProperty(PROPERTY_TRANSPORT, QVariant::fromValue(QPointer<QSslSocket>(candidate)));
            break;
        }
    }
    // Qt closes its descriptor at once; a second one keeps the connection
    // until our close frame has gone out and the peer has stopped sending.
    connect(socket, &QWebSocket::aboutToClose, this, [socket]() {
        const QSslSocket *tls = transport(socket);
        if (socket->property(PROPERTY_LINGER).isValid() || !tls || tls->socketDescriptor() < 0)
            return;
        socket->setProperty(PROPERTY_LINGER, ::fcntl(int(tls->socketDescriptor()), F_DUPFD_CLOEXEC, 0));
    });
    connect(socket, &QWebSocket::disconnected, this, [this, socket]() {
        const int descriptor = socket->property(PROPERTY_LINGER).toInt();
        if (descriptor > 0) {
            socket->setProperty(PROPERTY_LINGER, -1);
            Linger *linger = new Linger(descriptor, this);
            ++lingering;
            // Severed before the children go when the listener itself goes.
            connect(linger, &QObject::destroyed, this, [this]() {
                --lingering;
                connectionGone();
            });
        }
    });
    // Gone without a disconnection, it leaves nothing open either.
    connect(socket, &QObject::destroyed, this, [](QObject *gone) {
        const int descriptor = gone->property(PROPERTY_LINGER).toInt();
        if (descriptor > 0)
            ::close(descriptor);
    });
    return socket;
}

QStringList SslWebSocketServer::admit(QWebSocket *socket, const QString &shapeReason, const QString &deniedReason)
{
    const QSslSocket *tls = transport(socket);
    if (!tls || !tls->property(PROPERTY_OWN_ACCOUNT).toBool()) {
        if (!tls)
            qWarning() << "Nepodarilo sa zistit vlastnika spojenia - odmietam";
        refuse(socket, QWebSocketProtocol::CloseCodePolicyViolated, deniedReason);
        return QStringList();
    }
    const QStringList segments = socket->requestUrl().path(QUrl::FullyDecoded).split('/', Qt::SkipEmptyParts);
    if (segments.size() != 2) {
        refuse(socket, QWebSocketProtocol::CloseCodePolicyViolated, shapeReason);
        return QStringList();
    }
    return segments;
}

void SslWebSocketServer::refuse(QWebSocket *socket, int code, const QString &reason)
{
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    socket->close(QWebSocketProtocol::CloseCode(code), reason);
}

QSslSocket *SslWebSocketServer::transport(const QWebSocket *socket)
{
    return socket->property(PROPERTY_TRANSPORT).value<QPointer<QSslSocket>>().data();
}
