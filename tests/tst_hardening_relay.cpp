#include "backpressure.h"
#include "certificategenerator.h"
#include "loopbackproxy.h"
#include "redirectserver.h"
#include "server.h"
#include "sslwebsocketserver.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"
#include "wire.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QtTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>

using namespace TestSupport;

static const QString TOKEN = "5d0f6b1e-2c47-4e8a-a1f3-7b9c0d2e4f68";
static const QString REDIRECT_TOKEN = "page-token";

namespace {

// A TCP relay in front of the server that can stop taking what the server
// sends, as a page that no longer reads; TLS passes through it untouched.
class Stall : public QTcpServer
{
public:
    explicit Stall(quint16 serverPort)
        : target(serverPort)
    {
        connect(this, &QTcpServer::newConnection, this, &Stall::onNewConnection);
        listen(QHostAddress::LocalHost, 0);
    }

    void hold(bool on)
    {
        held = on;
        // A full read buffer makes the socket leave the rest in the kernel.
        for (QTcpSocket *upstream : findChildren<QTcpSocket *>("upstream")) {
            upstream->setReadBufferSize(on ? 64 * 1024 : 0);
            if (!on)
                qobject_cast<QTcpSocket *>(upstream->parent())->write(upstream->readAll());
        }
    }

private:
    void onNewConnection()
    {
        while (QTcpSocket *client = nextPendingConnection()) {
            QTcpSocket *upstream = new QTcpSocket(client);
            upstream->setObjectName("upstream");
            upstream->connectToHost(QHostAddress::LocalHost, target);
            upstream->waitForConnected(5000);
            connect(client, &QTcpSocket::readyRead, upstream, [=]() { upstream->write(client->readAll()); });
            connect(upstream, &QTcpSocket::readyRead, client, [=]() {
                if (!held)
                    client->write(upstream->readAll());
            });
            connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
            connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::disconnectFromHost);
        }
    }

    quint16 target;
    bool held = false;
};

// The hello of the redirect server carries the main server's URL as the page should use it.
QString helloUrl(const QString &hello)
{
    return QJsonDocument::fromJson(hello.toUtf8()).object().value("params").toObject().value("url").toString();
}

bool noDelay(const QAbstractSocket *socket)
{
    int on = 0;
    socklen_t size = sizeof on;
    return ::getsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_NODELAY, &on, &size) == 0 && on;
}

// What the kernel holds of the socket's input, as it reports it (doubled).
int receiveBuffer(const QAbstractSocket *socket)
{
    int bytes = 0;
    socklen_t size = sizeof bytes;
    return ::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &bytes, &size) == 0 ? bytes : -1;
}

// The TLS sockets a listener accepted and that are still connected.
QList<QSslSocket *> accepted(QObject *owner)
{
    QList<QSslSocket *> result;
    for (QSslSocket *socket : owner->findChildren<QSslSocket *>())
        if (socket->state() == QAbstractSocket::ConnectedState)
            result << socket;
    return result;
}

qint64 unsent(QWebSocket *socket)
{
    const QSslSocket *tls = SslWebSocketServer::transport(socket);
    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

} // namespace

// Limits that keep one hostile or unlucky peer from costing the agent without
// end: on the main server, in-process, and on the redirect server.
class TestHardeningRelay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void slowPageHoldsBackItsApplication();
    void oversizedMessage_data();
    void oversizedMessage();
    void acceptedSocketsAreTuned();
    void foreignHost_data();
    void foreignHost();
    void tokensCompared_data();
    void tokensCompared();

private:
    std::unique_ptr<TestPeer> peer(const QString &host = "127.0.0.1") const
    {
        return std::make_unique<TestPeer>(ca, proxy.proxyFor(host));
    }
    // A peer that sends a host of the client's own choosing; the proxy still
    // reaches the loopback, and the name the certificate lacks is let go.
    std::unique_ptr<TestPeer> foreignPeer() const;
    // Opens a connection that must be greeted; returns its server-side end.
    QWebSocket *join(TestPeer &peer, const QUrl &url);
    QWebSocket *master(TestPeer &peer) { return join(peer, wssUrl("127.0.0.1", server->port(), "/master/" + TOKEN)); }
    // Joins the session of a master, given by its server-side end, as its application.
    QWebSocket *slave(TestPeer &peer, const QWebSocket *serverPage, const QString &host = "127.0.0.1")
    {
        return join(peer,
                    wssUrl(host, server->port(), "/slave/" + serverPage->property(PROPERTY_SESSION_ID).toString()));
    }
    // A redirect server on a free port of the launch range; returns the port.
    quint16 startRedirect(RedirectServer **made = nullptr);

    std::unique_ptr<TestHome> home;
    QSslCertificate ca;
    LoopbackProxy proxy;
    Server *server = nullptr;
};

void TestHardeningRelay::initTestCase()
{
    QCoreApplication::setApplicationVersion(KAVREL_VERSION);
    qRegisterMetaType<QList<QSslError>>();
    QVERIFY(proxy.isListening());
    home.reset(new TestHome);
    QVERIFY(CertificateGenerator(nullptr).generate());
    ca = agentCa();

    // One server for all: the redirect server reads the state file once.
    server = new Server(TOKEN, nullptr);
    QVERIFY(!server->listen("kavrel.localhost", QHostAddress("127.0.0.1"), 0).isEmpty());
    // What a main instance leaves for the redirect server: a lock, then a newer state file.
    QVERIFY(writeFile(Utils::fileLock(), "1\n"));
    QVERIFY(writeFile(Utils::fileState(),
                      QString("wss://kavrel.localhost:%1/master/%2\n").arg(server->port()).arg(TOKEN).toUtf8()));
}

void TestHardeningRelay::cleanupTestCase()
{
    delete server;
    server = nullptr;
}

std::unique_ptr<TestPeer> TestHardeningRelay::foreignPeer() const
{
    auto p = std::make_unique<TestPeer>(ca, proxy.proxy());
    TestPeer *raw = p.get();
    QObject::connect(&raw->socket, &QWebSocket::sslErrors, &raw->socket, [raw]() { raw->socket.ignoreSslErrors(); });
    return p;
}

QWebSocket *TestHardeningRelay::join(TestPeer &peer, const QUrl &url)
{
    // Guarded, so that a new connection made where an old one was freed
    // meanwhile is not taken for the old one.
    QList<QPointer<QWebSocket>> before;
    for (QWebSocket *socket : server->findChildren<QWebSocket *>())
        before << socket;
    if (peer.first(url).isEmpty())
        return nullptr;
    for (QWebSocket *socket : server->findChildren<QWebSocket *>()) {
        bool old = false;
        for (const QPointer<QWebSocket> &known : qAsConst(before))
            old = old || known.data() == socket;
        if (!old && !socket->property(PROPERTY_SESSION_ID).toString().isEmpty())
            return socket;
    }
    return nullptr;
}

quint16 TestHardeningRelay::startRedirect(RedirectServer **made)
{
    QTcpServer probe;
    quint16 port = 0;
    for (quint16 candidate = 50000 + quint16(QCoreApplication::applicationPid() % 5000); !port; ++candidate)
        if (probe.listen(QHostAddress::LocalHost, candidate))
            port = candidate;
    probe.close();
    RedirectServer *redirect = new RedirectServer(
        QString("obrenta-kavrel:?hostnames=kavrel.localhost&ports=%1&token=%2").arg(port).arg(REDIRECT_TOKEN), server);
    if (made)
        *made = redirect;
    return port;
}

void TestHardeningRelay::slowPageHoldsBackItsApplication()
{
    Stall stall(server->port());
    QVERIFY(stall.isListening());
    auto page = peer();
    QWebSocket *serverPage = join(*page, wssUrl("127.0.0.1", stall.serverPort(), "/master/" + TOKEN));
    QVERIFY(serverPage);
    auto app = peer();
    QWebSocket *serverApp = slave(*app, serverPage);
    QVERIFY(serverApp);

    // What waits for the page, each time a message of the application has been relayed.
    qint64 peak = 0;
    int relayed = 0;
    connect(serverApp, &QWebSocket::textMessageReceived, this, [&]() {
        ++relayed;
        peak = qMax(peak, unsent(serverPage));
    });

    stall.hold(true);
    const int count = 48;
    const int size = 1024 * 1024;
    // One frame each, so that the server is held in the middle of one.
    app->socket.setOutgoingFrameSize(2 * size);
    for (int i = 0; i < count; ++i)
        app->socket.sendTextMessage(QString::number(i).leftJustified(size, '.'));
    // Passed the bound once; the kernel may take a little of it afterwards.
    QTRY_VERIFY_WITH_TIMEOUT(peak > BackPressure::PAUSE_BACKLOG, 20000);
    // Whatever it would read, it reads now; and a frame held back for longer
    // than Qt's five seconds for one frame does not end the connection.
    QVERIFY(!QTest::qWaitFor([&]() { return app->disconnected.count() > 0 || page->disconnected.count() > 0; }, 6000));
    const int relayedWhileHeld = relayed;
    QVERIFY2(relayedWhileHeld < count, qPrintable(QString::number(relayedWhileHeld)));
    QVERIFY2(peak < 3 * BackPressure::PAUSE_BACKLOG, qPrintable(QString::number(peak)));

    // Another session is not held back meanwhile.
    auto otherPage = peer();
    QWebSocket *otherServerPage = master(*otherPage);
    QVERIFY(otherServerPage);
    auto otherApp = peer();
    QVERIFY(slave(*otherApp, otherServerPage));
    otherApp->socket.sendTextMessage("to the page");
    otherPage->socket.sendTextMessage("to the application");
    QTRY_COMPARE_WITH_TIMEOUT(otherPage->texts.count(), 2, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(otherApp->texts.count(), 2, 20000);
    QCOMPARE(otherPage->text(1), QString("to the page"));
    QCOMPARE(otherApp->text(1), QString("to the application"));

    // Once the page reads again, it gets everything, in order.
    stall.hold(false);
    QTRY_COMPARE_WITH_TIMEOUT(page->texts.count(), 1 + count, 60000);
    for (int i = 0; i < count; ++i) {
        const QString text = page->text(1 + i);
        QCOMPARE(text.size(), size);
        QCOMPARE(text.section('.', 0, 0), QString::number(i));
    }
    QCOMPARE(relayed, count);
    QCOMPARE(page->disconnected.count(), 0);
    QCOMPARE(app->disconnected.count(), 0);
}

void TestHardeningRelay::oversizedMessage_data()
{
    QTest::addColumn<bool>("redirect");
    QTest::addColumn<bool>("oneFrame");
    QTest::newRow("main server, message of many frames") << false << false;
    QTest::newRow("main server, one frame") << false << true;
    QTest::newRow("redirect server, one frame") << true << true;
}

void TestHardeningRelay::oversizedMessage()
{
    QFETCH(bool, redirect);
    QFETCH(bool, oneFrame);
    auto sender = peer();
    if (redirect) {
        const quint16 port = startRedirect();
        QVERIFY(!sender->first(wssUrl("127.0.0.1", port, "/getUrl/" + REDIRECT_TOKEN)).isEmpty());
    } else {
        QVERIFY(master(*sender));
    }
    const quint64 size = SslWebSocketServer::MAX_MESSAGE_SIZE + 1;
    if (oneFrame) {
        QVERIFY(QWebSocket::maxOutgoingFrameSize() >= size);
        sender->socket.setOutgoingFrameSize(size);
    }
    sender->socket.sendBinaryMessage(QByteArray(int(size), 'x'));
    QTRY_COMPARE_WITH_TIMEOUT(sender->disconnected.count(), 1, 60000);
    QCOMPARE(sender->socket.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);

    if (!redirect) {
        // A document of many megabytes still goes through.
        auto page = peer();
        QWebSocket *serverPage = master(*page);
        QVERIFY(serverPage);
        auto app = peer();
        QVERIFY(slave(*app, serverPage));
        const QString document(16 * 1024 * 1024, 'd');
        page->socket.sendTextMessage(document);
        QTRY_COMPARE_WITH_TIMEOUT(app->texts.count(), 2, 60000);
        QVERIFY(app->text(1) == document);
    }
}

void TestHardeningRelay::acceptedSocketsAreTuned()
{
    auto page = peer();
    QVERIFY(master(*page));
    RedirectServer *redirect = nullptr;
    const quint16 port = startRedirect(&redirect);
    auto redirected = peer();
    QVERIFY(!redirected->first(wssUrl("127.0.0.1", port, "/getUrl/" + REDIRECT_TOKEN)).isEmpty());

    // The main listener is the server's own child.
    const QList<QSslSocket *> mainSockets = accepted(server->findChild<SslWebSocketServer *>());
    const QList<QSslSocket *> redirectSockets = accepted(redirect);
    QVERIFY(!mainSockets.isEmpty());
    QCOMPARE(redirectSockets.size(), 1);
    for (const QSslSocket *socket : mainSockets + redirectSockets) {
        QVERIFY(noDelay(socket));
        // Fixed, not grown by the kernel with what a fast peer sends.
        QCOMPARE(receiveBuffer(socket), 2 * SslWebSocketServer::RECEIVE_BUFFER);
    }
}

void TestHardeningRelay::foreignHost_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("expected");
    QTest::newRow("foreign name") << "evil.example"
                                  << "kavrel.localhost";
    QTest::newRow("foreign address") << "10.1.2.3"
                                     << "kavrel.localhost";
    QTest::newRow("own name") << "kavrel.localhost"
                              << "kavrel.localhost";
    QTest::newRow("own address") << "127.0.0.1"
                                 << "127.0.0.1";
}

// The host a connection names comes back to pages and applications only when
// it is one of the agent's own.
void TestHardeningRelay::foreignHost()
{
    QFETCH(QString, host);
    QFETCH(QString, expected);

    const quint16 port = startRedirect();
    auto redirected = foreignPeer();
    const QString hello = redirected->first(wssUrl(host, port, "/getUrl/" + REDIRECT_TOKEN));
    QCOMPARE(helloUrl(hello), QString("wss://%1:%2/master/%3").arg(expected).arg(server->port()).arg(TOKEN));

    auto page = peer();
    QWebSocket *serverPage = master(*page);
    QVERIFY(serverPage);
    auto app = foreignPeer();
    QVERIFY(slave(*app, serverPage, host));
    app->socket.sendTextMessage(
        R"({"jsonrpc":"2.0","method":"kavrel.launchStatus","params":{"url":"wss://127.0.0.1:4000/x"}})");
    QTRY_COMPARE_WITH_TIMEOUT(page->texts.count(), 2, 20000);
    QCOMPARE(page->params(1).value("url").toString(), "wss://" + expected + ":4000/x");
}

void TestHardeningRelay::tokensCompared_data()
{
    QTest::addColumn<QString>("presented");
    QTest::addColumn<bool>("same");
    QTest::newRow("equal") << TOKEN << true;
    QTest::newRow("last character") << QString(TOKEN).replace(35, 1, "9") << false;
    QTest::newRow("first character") << QString(TOKEN).replace(0, 1, "4") << false;
    QTest::newRow("letter case") << TOKEN.toUpper() << false;
    QTest::newRow("prefix") << TOKEN.left(35) << false;
    QTest::newRow("longer") << TOKEN + "0" << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("same length, other text") << QString(TOKEN.size(), 'x') << false;
}

void TestHardeningRelay::tokensCompared()
{
    QFETCH(QString, presented);
    QFETCH(bool, same);
    QCOMPARE(Wire::sameToken(presented, TOKEN), same);
    QCOMPARE(Wire::sameToken(TOKEN, presented), same);
}

QTEST_GUILESS_MAIN(TestHardeningRelay)
#include "tst_hardening_relay.moc"
