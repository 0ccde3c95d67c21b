#include "certificategenerator.h"
#include "loopbackproxy.h"
#include "sslwebsocketserver.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QFile>
#include <QNetworkProxy>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslKey>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

Q_DECLARE_METATYPE(QSslError::SslError)

namespace {

QUrl endpoint(const QString &host, quint16 port)
{
    return TestSupport::wssUrl(host, port, "/master/probe");
}

} // namespace

class TestSslWebSocketServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listenerConfiguration();
    void trustedClientConnects_data();
    void trustedClientConnects();
    void clientRefusesWrongCertificate_data();
    void clientRefusesWrongCertificate();
    void opensslClientNegotiates_data();
    void opensslClientNegotiates();
    void unusableCertificateEndsTheProgram_data();
    void unusableCertificateEndsTheProgram();
    void sweepOnlyWhileHandshakePending();

private:
    QString fixture(const QString &name) const { return fixtures.path() + "/" + name; }
    void makeContainer(const QString &name, const QString &subject, const QString &password)
    {
        TestSupport::makeContainer(fixtures.path(), name, {"-newkey", "rsa:2048"}, subject, password);
    }

    QTemporaryDir fixtures;
    QSslCertificate ca;
    LoopbackProxy proxy;
};

void TestSslWebSocketServer::initTestCase()
{
    qRegisterMetaType<QList<QSslError>>();
    QVERIFY(proxy.isListening());
    QVERIFY(fixtures.isValid());
    CertificateGenerator generator;
    QVERIFY(generator.generate());
    ca = TestSupport::agentCa();
    QVERIFY(!ca.isNull());

    makeContainer("otherpassword", "/CN=kavrel.localhost", "other");
    makeContainer("nocn", "/O=Obrenta", "kretu");
    makeContainer("twocn", "/CN=kavrel.localhost/CN=second.localhost", "kretu");
    makeContainer("othercn", "/CN=someone.else", "kretu");
    QVERIFY(TestSupport::writeFile(fixture("text.p12"), "not a container\n"));
}

void TestSslWebSocketServer::listenerConfiguration()
{
    SslWebSocketServer server("kavrel.localhost", this);
    QCOMPARE(server.serverName(), QString("kavrel.localhost"));
    QCOMPARE(server.secureMode(), QWebSocketServer::SecureMode);
    QCOMPARE(server.parent(), this);
    const QSslConfiguration configuration = server.sslConfiguration();
    QCOMPARE(configuration.protocol(), QSsl::TlsV1SslV3);
    QCOMPARE(configuration.peerVerifyMode(), QSslSocket::VerifyNone);
    QCOMPARE(configuration.localCertificate().subjectInfo(QSslCertificate::CommonName),
             QStringList{"kavrel.localhost"});
    QCOMPARE(configuration.localCertificate().issuerInfo(QSslCertificate::CommonName),
             ca.subjectInfo(QSslCertificate::CommonName));
    QCOMPARE(configuration.privateKey().algorithm(), QSsl::Rsa);
    QCOMPARE(configuration.privateKey().type(), QSsl::PrivateKey);
}

void TestSslWebSocketServer::trustedClientConnects_data()
{
    QTest::addColumn<QString>("listener");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("viaProxy");
    QTest::newRow("host name") << "kavrel.localhost"
                               << "kavrel.localhost" << true;
    QTest::newRow("address on the host name's listener") << "kavrel.localhost"
                                                         << "127.0.0.1" << false;
    QTest::newRow("address listener") << "127.0.0.1"
                                      << "127.0.0.1" << false;
}

void TestSslWebSocketServer::trustedClientConnects()
{
    QFETCH(QString, listener);
    QFETCH(QString, host);
    QFETCH(bool, viaProxy);

    SslWebSocketServer server(listener, this);
    QVERIFY2(server.listen(QHostAddress::LocalHost, 0), qPrintable(server.errorString()));
    QSignalSpy accepted(&server, &QWebSocketServer::newConnection);

    TestPeer client(ca, viaProxy ? proxy.proxy() : QNetworkProxy(QNetworkProxy::NoProxy));
    client.socket.open(endpoint(host, server.serverPort()));
    QVERIFY(client.connected.wait(20000));
    QVERIFY2(client.sslErrors.isEmpty(),
             qPrintable(client.sslErrors.value(0).value(0).value<QList<QSslError>>().value(0).errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(accepted.count(), 1, 10000);

    const QSslConfiguration session = client.socket.sslConfiguration();
    QCOMPARE(session.peerCertificate().subjectInfo(QSslCertificate::CommonName), QStringList{listener});
    QVERIFY(session.sessionProtocol() == QSsl::TlsV1_3 || session.sessionProtocol() == QSsl::TlsV1_2);

    // The client shows no certificate of its own and is served all the same.
    QWebSocket *peer = server.nextPendingConnection();
    QVERIFY(peer);
    QCOMPARE(peer->requestUrl().path(), QString("/master/probe"));
    QVERIFY(peer->sslConfiguration().peerCertificate().isNull());
    connect(peer, &QWebSocket::textMessageReceived, peer,
            [peer](const QString &text) { peer->sendTextMessage("echo " + text); });
    client.socket.sendTextMessage("ahoj");
    QVERIFY(client.texts.wait(10000));
    QCOMPARE(client.text(0), QString("echo ahoj"));
    client.socket.close();
    delete peer;
}

void TestSslWebSocketServer::clientRefusesWrongCertificate_data()
{
    QTest::addColumn<QString>("listener");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("trustOurCa");
    QTest::addColumn<QSslError::SslError>("expected");
    QTest::newRow("CA not trusted") << "kavrel.localhost"
                                    << "kavrel.localhost" << false << QSslError::UnableToGetLocalIssuerCertificate;
    QTest::newRow("address certificate has no DNS name") << "127.0.0.1"
                                                         << "kavrel.localhost" << true << QSslError::HostNameMismatch;
}

// The trusted cases above mean something only if the same client refuses
// certificates that do not fit.
void TestSslWebSocketServer::clientRefusesWrongCertificate()
{
    QFETCH(QString, listener);
    QFETCH(QString, host);
    QFETCH(bool, trustOurCa);
    QFETCH(QSslError::SslError, expected);

    SslWebSocketServer server(listener, this);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QSslCertificate stranger = QSslCertificate::fromPath(fixture("othercn.crt")).value(0);
    TestPeer client(trustOurCa ? ca : stranger, proxy.proxy());
    client.socket.open(endpoint(host, server.serverPort()));
    QVERIFY(client.sslErrors.wait(20000));
    QList<QSslError::SslError> kinds;
    for (const QSslError &error : client.sslErrors.first().first().value<QList<QSslError>>())
        kinds << error.error();
    QVERIFY(kinds.contains(expected));
    QTest::qWait(0);
    QVERIFY(client.connected.isEmpty());
}

void TestSslWebSocketServer::opensslClientNegotiates_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("protocol");
    QTest::newRow("TLS 1.2") << "-tls1_2"
                             << "TLSv1.2";
    QTest::newRow("TLS 1.3") << "-tls1_3"
                             << "TLSv1.3";
}

void TestSslWebSocketServer::opensslClientNegotiates()
{
    QFETCH(QString, option);
    QFETCH(QString, protocol);

    SslWebSocketServer server("kavrel.localhost", this);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    // s_client blocks until the handshake is over, and the handshake needs our
    // event loop, so it runs alongside while the QTRY loop pumps events.
    QProcess client;
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.start("openssl",
                 {"s_client", "-connect", "127.0.0.1:" + QString::number(server.serverPort()), "-servername",
                  "kavrel.localhost", "-CAfile", Utils::fileCertificateCa(), "-verify_hostname", "kavrel.localhost",
                  "-verify_return_error", "-nameopt", "RFC2253", option});
    QVERIFY(client.waitForStarted(10000));
    client.closeWriteChannel();
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == QProcess::NotRunning, 30000);
    const QString out = QString::fromUtf8(client.readAll());
    QCOMPARE(client.exitCode(), 0);
    QVERIFY2(out.contains("Verify return code: 0 (ok)"), qPrintable(out));
    QVERIFY2(out.contains("New, " + protocol + ", Cipher is "), qPrintable(out));
    QVERIFY2(out.contains("depth=0 CN=kavrel.localhost"), qPrintable(out));
    QVERIFY2(!out.contains("Acceptable client certificate CA names"), qPrintable(out));
}

void TestSslWebSocketServer::unusableCertificateEndsTheProgram_data()
{
    QTest::addColumn<QString>("container");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("tail");
    QTest::addColumn<QString>("warning");

    const QString unreadable = "[C] Nepodarilo sa načítať SSL certifikát. (:0, )\n";
    QTest::newRow("missing file") << QString() << 255
                                  << "[C] Nepodarilo sa otvoriť súbor s SSL certifikátom. Dôvod: No such file or "
                                     "directory (:0, )\n"
                                  << QString();
    QTest::newRow("other password") << "otherpassword.p12" << 255 << unreadable
                                    << "[W] Nepodarilo spracovat PKCS#12 subor:  error:";
    QTest::newRow("not a container") << "text.p12" << 255 << unreadable
                                     << "[W] Nepodarilo nacitat PKCS#12 subor:  error:";
    QTest::newRow("no common name") << "nocn.p12" << 255
                                    << "[W] Nepodarilo sa vycitat CN z SSL certifikatu (:0, )\n" + unreadable
                                    << QString();
    QTest::newRow("two common names") << "twocn.p12" << 255
                                      << "[W] Nepodarilo sa vycitat CN z SSL certifikatu (:0, )\n" + unreadable
                                      << QString();
    QTest::newRow("common name of another host") << "othercn.p12" << 0 << QString() << QString();
}

void TestSslWebSocketServer::unusableCertificateEndsTheProgram()
{
    QFETCH(QString, container);
    QFETCH(int, exitCode);
    QFETCH(QString, tail);
    QFETCH(QString, warning);

    TestHome home;
    if (!container.isEmpty())
        QVERIFY(TestSupport::writeFile(Utils::fileCertificateSsl("kavrel.localhost"),
                                       TestSupport::readAll(fixture(container))));
    QProcessEnvironment env = TestSupport::offscreen();
    env.insert("LC_ALL", "C.UTF-8");
    const ChildResult result = TestSupport::run(TestSupport::helperPath("listenerprobe"), {"kavrel.localhost"}, env);
    const QString err = QString::fromUtf8(result.err);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QVERIFY2(result.exitCode == exitCode, qPrintable(err));
    if (exitCode == 0) {
        QVERIFY(result.out.startsWith("listening kavrel.localhost "));
        QVERIFY2(err.isEmpty(), qPrintable(err));
    } else {
        QVERIFY2(err.endsWith(tail), qPrintable(err));
        QCOMPARE(err.count("[C] "), 1);
        QVERIFY2(err.contains(warning), qPrintable(err));
        QVERIFY(!result.out.contains("listening"));
    }
}

// An idle listener has no timer running: the sweep for abandoned handshakes
// starts with a connection and stops once none is pending (handed-out ones do
// not count; the server tests walk those).
void TestSslWebSocketServer::sweepOnlyWhileHandshakePending()
{
    SslWebSocketServer server("kavrel.localhost", this);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTimer *sweep = server.findChild<QTimer *>("sweep", Qt::FindDirectChildrenOnly);
    QVERIFY(sweep);
    for (const QTimer *timer : server.findChildren<QTimer *>())
        QVERIFY2(!timer->isActive(), qPrintable(timer->objectName()));
    const auto pendingSockets = [&server]() { return server.acceptedSockets().size(); };

    // A peer that connects, says nothing and leaves: swept, then quiet again.
    QTcpSocket silent;
    silent.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(silent.waitForConnected(10000));
    QTRY_VERIFY_WITH_TIMEOUT(sweep->isActive(), 10000);
    QCOMPARE(pendingSockets(), 1);
    silent.abort();
    QTRY_COMPARE_WITH_TIMEOUT(pendingSockets(), 0, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!sweep->isActive(), 10000);
}

QTEST_MAIN(TestSslWebSocketServer)
#include "tst_sslwebsocketserver.moc"
