#include "certificategenerator.h"
#include "loopbackproxy.h"
#include "messagelog.h"
#include "server.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSslCertificate>
#include <QtTest>

#include <memory>

namespace {

// What a process object held when the server let it go.
struct Released
{
    QString program;
    QStringList arguments;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The server's process objects have no parent and are out of our reach; an
// application-wide filter still sees their deferred deletion go by.
class ProcessWatch : public QObject
{
public:
    QList<Released> released;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::DeferredDelete) {
            if (QProcess *proc = qobject_cast<QProcess *>(watched))
                released.append({proc->program(), proc->arguments(), proc->exitStatus(), proc->exitCode(),
                                 proc->isOpen() ? proc->readAllStandardOutput() : QByteArray(),
                                 proc->isOpen() ? proc->readAllStandardError() : QByteArray()});
        }
        return false;
    }

    int releasedWithLast(const QString &argument) const
    {
        int n = 0;
        for (const Released &r : released)
            n += !r.arguments.isEmpty() && r.arguments.last() == argument;
        return n;
    }

    int unstarted() const
    {
        int n = 0;
        for (const Released &r : released)
            n += r.program.isEmpty();
        return n;
    }

    Released withLast(const QString &argument) const
    {
        for (const Released &r : released) {
            if (!r.arguments.isEmpty() && r.arguments.last() == argument)
                return r;
        }
        return {};
    }
};

const QString REFUSED = "{\"id\":\"\",\"jsonrpc\":\"2.0\",\"method\":\"kavrel.launchStatus\",\"params\":{\"cause\":"
                        "\"forbidden\",\"code\":-203,"
                        "\"message\":\"Spustenie aplikacie bolo zakazane pouzivatelom\",\"state\":\"error\"}}";

const QString FORBIDDEN = "http://apps.example/forbidden.jnlp?action=exit&code=0";

QString launchCommand(const QJsonValue &params)
{
    const QJsonObject command{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "kavrel.launch"}, {"params", params}};
    return QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact));
}

QString launchCommand(const QString &url)
{
    return launchCommand(QJsonObject{{"url", url}});
}

} // namespace

// The launch command end to end: a real server and real TLS clients, with the
// fake javaws from the test helpers playing the launched application.
class TestLaunchCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void wholeRoad();
    void addressHostInSlaveUrl();
    void refusedByPolicy_data();
    void refusedByPolicy();
    void dashAddress();
    void javaWsMissing();
    void applicationCrashes();
    void statusUrlRewritten_data();
    void statusUrlRewritten();
    void secondLaunchInSession();
    void refusedBeforePolicy_data();
    void refusedBeforePolicy();
    void floodToRefusedApplication();
    void chattyApplication();
    void foreignHostNotPassedOn();

private:
    std::unique_ptr<TestPeer> connectPeer(const QString &host, const QString &path);
    std::unique_ptr<TestPeer> connectMaster(const QString &host = "kavrel.localhost")
    {
        return connectPeer(host, "/master/T");
    }
    QJsonObject readReport() const;
    void expectFailure(TestPeer &master, const QString &cause, int code, const QString &messagePrefix);

    QTemporaryDir dir;
    QString reportFile;
    QString pathWithHelpers;
    QSslCertificate ca;
    std::unique_ptr<MessageLog> log;
    LoopbackProxy proxy;
    Server *server = nullptr;
    quint16 port = 0;
    ProcessWatch watch;
};

void TestLaunchCommand::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    qRegisterMetaType<QProcess::ProcessError>();
    QVERIFY(dir.isValid());
    QVERIFY(proxy.isListening());
    QVERIFY(QFileInfo(TestSupport::helperPath("javaws")).isExecutable());
    // QProcess looks the program up on our own search path.
    pathWithHelpers = TestSupport::pathWithHelpers();
    qputenv("PATH", QFile::encodeName(pathWithHelpers));

    QCoreApplication::setApplicationVersion(KAVREL_VERSION);
    QVERIFY(CertificateGenerator(nullptr).generate());
    QCOMPARE(QSslCertificate::fromPath(Utils::fileCertificateCa()).size(), 1);
    ca = TestSupport::agentCa();

    server = new Server("T", this);
    const QString endpoint = server->listen("kavrel.localhost", QHostAddress("127.0.0.1"), 0);
    port = server->port();
    QVERIFY(port != 0);
    QCOMPARE(endpoint, "wss://kavrel.localhost:" + QString::number(port));

    QCoreApplication::instance()->installEventFilter(&watch);
    log = std::make_unique<MessageLog>(MessageLog::PassOn);
}

void TestLaunchCommand::cleanupTestCase()
{
    log.reset();
    QCoreApplication::instance()->removeEventFilter(&watch);
}

void TestLaunchCommand::init()
{
    QFile::remove(Utils::fileConfig());
    reportFile = dir.path() + "/" + QTest::currentTestFunction() + "-" + QTest::currentDataTag() + ".json";
    QFile::remove(reportFile);
    qputenv("KAVREL_TEST_REPORT", QFile::encodeName(reportFile));
    log->clear();
    watch.released.clear();
}

std::unique_ptr<TestPeer> TestLaunchCommand::connectPeer(const QString &host, const QString &path)
{
    auto peer = std::make_unique<TestPeer>(ca, proxy.proxyFor(host));
    peer->socket.open(TestSupport::wssUrl(host, port, path));
    // Nothing goes on before the greeting; a refused peer never gets one.
    if (!QTest::qWaitFor([&]() { return peer->texts.size() > 0 || peer->disconnected.size() > 0; }, 20000)
        || peer->texts.isEmpty() || peer->text(0) != TestSupport::MAIN_HELLO) {
        qWarning() << "no greeting for" << host << path << peer->socket.errorString();
        return nullptr;
    }
    return peer;
}

QJsonObject TestLaunchCommand::readReport() const
{
    return QJsonDocument::fromJson(TestSupport::readAll(reportFile)).object();
}

// The one status a failed launch gets, then the close; the page hears nothing else.
void TestLaunchCommand::expectFailure(TestPeer &master, const QString &cause, int code, const QString &messagePrefix)
{
    QTRY_COMPARE_WITH_TIMEOUT(master.disconnected.size(), 1, 20000);
    QCOMPARE(master.socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);
    QCOMPARE(master.socket.closeReason(), QString());
    QCOMPARE(master.texts.size(), 2);
    const QString status = master.text(1);
    const QString head = QString("{\"id\":\"\",\"jsonrpc\":\"2.0\",\"method\":\"kavrel.launchStatus\",\"params\":"
                                 "{\"cause\":\"%1\",\"code\":%2,\"message\":\"")
                             .arg(cause)
                             .arg(code);
    QVERIFY2(status.startsWith(head + messagePrefix), qPrintable(status));
    QVERIFY2(status.endsWith("\",\"state\":\"error\"}}"), qPrintable(status));
}

void TestLaunchCommand::wholeRoad()
{
    auto master = connectMaster();
    QVERIFY(master);
    const QString jnlp = "http://apps.example/a.jnlp?action=echo";
    master->socket.sendTextMessage(launchCommand(QJsonObject{{"url", jnlp}, {"javaXmx", "512m"}, {"javaXss", "1m"}}));

    QTRY_VERIFY_WITH_TIMEOUT(master->indexOf("test.report") > 0, 20000);
    const QJsonObject reported = master->params(master->indexOf("test.report"));
    QCOMPARE(reported, readReport());
    QCOMPARE(reported.value("args").toVariant().toStringList(), QStringList({"-J-Xmx512m", "-J-Xss1m", jnlp}));

    const QJsonObject env = reported.value("env").toObject();
    const QRegularExpression slaveUrl(
        QString("^wss://kavrel\\.localhost:%1/slave/%2$").arg(port).arg(TestSupport::UUID_PATTERN));
    QVERIFY2(slaveUrl.match(env.value("KAVREL_URL").toString()).hasMatch(),
             qPrintable(env.value("KAVREL_URL").toString()));
    QCOMPARE(env.value("KAVREL_CA_FILE").toString(), Utils::fileCertificateCa());
    QCOMPARE(env.value("KAVREL_P12_FILE").toString(), Utils::fileCertificateSsl("kavrel.localhost"));
    QVERIFY(env.value("KAVREL_P12_FILE").toString().endsWith("/kavrel.localhost.p12"));
    QCOMPARE(env.value("KAVREL_P12_PASSWORD").toString(), QString("kretu"));
    QCOMPARE(env.value("KAVREL_BIND_IP").toString(), QString("127.0.0.1"));

    // The application echoes its own greeting, then whatever the page says.
    QTRY_COMPARE_WITH_TIMEOUT(master->texts.size(), 3, 20000);
    QCOMPARE(master->text(master->indexOf("hello", 1)), TestSupport::MAIN_HELLO);
    for (const QString &text :
         {QString("ping, not JSON"), QString("{\"params\":{\"b\":[1,2],\"a\":null},\"method\":\"x.y\",\"id\":3}")}) {
        const int before = master->texts.size();
        master->socket.sendTextMessage(text);
        QTRY_COMPARE_WITH_TIMEOUT(master->texts.size(), before + 1, 20000);
        QCOMPARE(master->text(before), text);
    }
    QCOMPARE(watch.releasedWithLast(jnlp), 0);

    // Closing the page closes the application's connection; the application itself ends on its own.
    master->socket.close();
    QTRY_COMPARE_WITH_TIMEOUT(watch.releasedWithLast(jnlp), 1, 20000);
    const Released app = watch.withLast(jnlp);
    QCOMPARE(app.exitStatus, QProcess::NormalExit);
    QCOMPARE(app.exitCode, 0);
    QVERIFY2(app.err.contains("closed 1000"), app.err.constData());
    QCOMPARE(master->indexOf("kavrel.launchStatus"), -1);
}

void TestLaunchCommand::addressHostInSlaveUrl()
{
    auto master = connectMaster("127.0.0.1");
    QVERIFY(master);
    const QString jnlp = "http://apps.example/a.jnlp?action=echo";
    master->socket.sendTextMessage(launchCommand(jnlp));

    // The application reaches the session by the address the page used.
    QTRY_VERIFY_WITH_TIMEOUT(master->indexOf("test.report") > 0, 20000);
    const QJsonObject env = master->params(master->indexOf("test.report")).value("env").toObject();
    QVERIFY2(env.value("KAVREL_URL").toString().startsWith(QString("wss://127.0.0.1:%1/slave/").arg(port)),
             qPrintable(env.value("KAVREL_URL").toString()));
    QCOMPARE(env.value("KAVREL_P12_FILE").toString(), Utils::fileCertificateSsl("kavrel.localhost"));
    QCOMPARE(env.value("KAVREL_BIND_IP").toString(), QString("127.0.0.1"));

    master->socket.close();
    QTRY_COMPARE_WITH_TIMEOUT(watch.releasedWithLast(jnlp), 1, 20000);
    QCOMPARE(watch.withLast(jnlp).exitCode, 0);
}

void TestLaunchCommand::refusedByPolicy_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("application disabled") << "application_0/state"
                                          << "disabled";
    QTest::newRow("web start switched off") << "settings/disableWebStartApps"
                                            << "true";
}

void TestLaunchCommand::refusedByPolicy()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    const QString jnlp = "http://apps.example/refused.jnlp?action=exit&code=0";
    {
        QSettings settings(Utils::fileConfig(), QSettings::IniFormat);
        settings.setValue("application_0/url", jnlp);
        settings.setValue(key, value);
    }

    auto master = connectMaster();
    QVERIFY(master);
    master->socket.sendTextMessage(launchCommand(jnlp));
    QTRY_COMPARE_WITH_TIMEOUT(master->disconnected.size(), 1, 20000);
    QCOMPARE(master->texts.size(), 2);
    QCOMPARE(master->text(1), REFUSED);
    QCOMPARE(master->socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);

    QVERIFY(log->warnings().contains("Spustenie aplikacie \"" + jnlp + "\" bolo zakazane pouzivatelom"));
    QTRY_COMPARE_WITH_TIMEOUT(watch.unstarted(), 1, 10000);
    QCOMPARE(watch.released.size(), 1);
    QVERIFY(!QFile::exists(reportFile));
}

void TestLaunchCommand::dashAddress()
{
    auto master = connectMaster();
    QVERIFY(master);
    master->socket.sendTextMessage(launchCommand(QJsonObject{{"url", "-Xtrustall"}, {"javaXmx", "512m"}}));
    expectFailure(*master, "bad-url", -200, "Adresa JNLP suboru je neplatna.\"");
    QTRY_COMPARE_WITH_TIMEOUT(watch.unstarted(), 1, 10000);
    QCOMPARE(watch.released.size(), 1);
    QVERIFY(!QFile::exists(reportFile));
}

void TestLaunchCommand::javaWsMissing()
{
    QTemporaryDir empty;
    qputenv("PATH", QFile::encodeName(empty.path()));
    auto master = connectMaster();
    QVERIFY(master);
    const QString jnlp = "http://apps.example/a.jnlp?action=echo";
    master->socket.sendTextMessage(launchCommand(jnlp));
    const bool closed = QTest::qWaitFor([&]() { return master->disconnected.size() > 0; }, 20000);
    qputenv("PATH", QFile::encodeName(pathWithHelpers));
    QVERIFY(closed);

    expectFailure(*master, "failed-to-start", -201, "Nepodarilo sa spustit aplikaciu. Dovod: FailedToStart ");
    QCOMPARE(log->warnings().filter("Nepodarilo sa spustit aplikaciu. Dovod: ").size(), 1);
    // Released once the error is out, though it never started.
    QTRY_COMPARE_WITH_TIMEOUT(watch.releasedWithLast(jnlp), 1, 10000);
    QVERIFY(!QFile::exists(reportFile));
}

void TestLaunchCommand::applicationCrashes()
{
    auto master = connectMaster();
    QVERIFY(master);
    const QString jnlp = "http://apps.example/a.jnlp?action=crash";
    master->socket.sendTextMessage(launchCommand(jnlp));
    expectFailure(*master, "crashed", -202, "Nepodarilo sa spustit aplikaciu. Dovod: Crashed ");
    QTRY_COMPARE_WITH_TIMEOUT(watch.releasedWithLast(jnlp), 1, 10000);
    QCOMPARE(watch.withLast(jnlp).exitStatus, QProcess::CrashExit);
    // It did start and run before it crashed.
    QCOMPARE(readReport().value("args").toVariant().toStringList(), QStringList{jnlp});
}

void TestLaunchCommand::statusUrlRewritten_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("expected");

    QTest::newRow("address becomes the host name")
        << "kavrel.localhost"
        << "action=status&url=wss%3A%2F%2F127.0.0.1%3A4000%2Fx"
        << "{\"jsonrpc\":\"2.0\",\"method\":\"kavrel.launchStatus\",\"params\":"
           "{\"state\":\"started\",\"url\":\"wss://kavrel.localhost:4000/x\"}}";
    QTest::newRow("address used by the application")
        << "127.0.0.1"
        << "action=status&url=wss%3A%2F%2Fother.localhost%3A4000%2Fx%3Fq%3D1"
        << "{\"jsonrpc\":\"2.0\",\"method\":\"kavrel.launchStatus\",\"params\":"
           "{\"state\":\"started\",\"url\":\"wss://127.0.0.1:4000/x?q=1\"}}";
    // Ours to decide: no address, nothing to rewrite, so none is made up.
    const QString noUrl = "{\"method\":\"kavrel.launchStatus\",\"params\":{\"state\":\"started\"},\"x\":1}";
    QTest::newRow("no url") << "kavrel.localhost"
                            << "action=send&text=" + QString::fromLatin1(QUrl::toPercentEncoding(noUrl)) << noUrl;
    const QString extra = "{\"id\":9,\"jsonrpc\":\"1.0\",\"method\":\"kavrel.launchStatus\",\"params\":"
                          "{\"code\":5,\"url\":\"wss://127.0.0.1:4000/x\"},\"zz\":[true]}";
    QTest::newRow("other members kept")
        << "kavrel.localhost"
        << "action=send&text=" + QString::fromLatin1(QUrl::toPercentEncoding(extra))
        << "{\"id\":9,\"jsonrpc\":\"1.0\",\"method\":\"kavrel.launchStatus\",\"params\":"
           "{\"code\":5,\"url\":\"wss://kavrel.localhost:4000/x\"},\"zz\":[true]}";
}

void TestLaunchCommand::statusUrlRewritten()
{
    QFETCH(QString, host);
    QFETCH(QString, query);
    QFETCH(QString, expected);

    auto master = connectMaster(host);
    QVERIFY(master);
    const QString jnlp = "http://apps.example/a.jnlp?" + query;
    master->socket.sendTextMessage(launchCommand(jnlp));
    QTRY_VERIFY_WITH_TIMEOUT(master->indexOf("kavrel.launchStatus") > 0, 20000);
    QCOMPARE(master->text(master->indexOf("kavrel.launchStatus")), expected);
    QVERIFY(master->indexOf("test.report") > 0);
    QCOMPARE(master->disconnected.size(), 0);

    master->socket.close();
    QTRY_COMPARE_WITH_TIMEOUT(watch.releasedWithLast(jnlp), 1, 20000);
    QCOMPARE(watch.withLast(jnlp).exitCode, 0);
}

// A session has one place for its application: a second launch while the
// first runs, or after it joined, is refused and starts nothing; after one
// that ended without joining, the page may launch again.
void TestLaunchCommand::secondLaunchInSession()
{
    const QString busy = "Relacia uz ma spustenu aplikaciu.";
    {
        auto master = connectMaster();
        QVERIFY(master);
        // Running far longer than the server takes to answer the second launch.
        const QString waiting = "http://apps.example/wait.jnlp?action=wait&ms=1000";
        master->socket.sendTextMessage(launchCommand(waiting));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(reportFile), 20000);
        master->socket.sendTextMessage(launchCommand(QString("http://apps.example/never.jnlp?action=exit&code=0")));
        expectFailure(*master, "session-busy", -200, busy);
        QTRY_COMPARE_WITH_TIMEOUT(watch.releasedWithLast(waiting), 1, 20000);
    }
    auto master = connectMaster("127.0.0.1");
    QVERIFY(master);
    const QString first = "http://apps.example/first.jnlp?action=exit&code=0";
    master->socket.sendTextMessage(launchCommand(first));
    QTRY_COMPARE_WITH_TIMEOUT(watch.releasedWithLast(first), 1, 20000);
    const QString second = "http://apps.example/second.jnlp?action=echo";
    master->socket.sendTextMessage(launchCommand(second));
    QTRY_VERIFY_WITH_TIMEOUT(master->indexOf("test.report") > 0, 20000);

    // Its application joined: a third, from whichever end, goes nowhere.
    const QString session = readReport().value("env").toObject().value("KAVREL_URL").toString().section('/', -1);
    auto slave = connectPeer("kavrel.localhost", "/slave/" + session);
    QVERIFY(slave);
    slave->socket.sendTextMessage(launchCommand(QString("http://apps.example/third.jnlp?action=exit&code=0")));
    QTRY_VERIFY_WITH_TIMEOUT(master->indexOf("kavrel.launchStatus") > 0, 20000);
    QVERIFY2(master->text(master->indexOf("kavrel.launchStatus"))
                 .contains("\"cause\":\"session-busy\",\"code\":-200,\"message\":\"" + busy),
             qPrintable(master->text(master->indexOf("kavrel.launchStatus"))));
    QTRY_COMPARE_WITH_TIMEOUT(slave->disconnected.size(), 1, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(watch.releasedWithLast(second), 1, 20000);
    QCOMPARE(watch.releasedWithLast("http://apps.example/never.jnlp?action=exit&code=0"), 0);
    QCOMPARE(watch.releasedWithLast("http://apps.example/third.jnlp?action=exit&code=0"), 0);
}

void TestLaunchCommand::refusedBeforePolicy_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("javaXmx");
    QTest::addColumn<QString>("message");
    const QString address = "Adresa JNLP suboru je neplatna.", options = "Parametre JVM su neplatne.";
    // The system cuts an argument at NUL: what javaws got would be the forbidden address.
    QTest::newRow("NUL after a forbidden address") << FORBIDDEN + QChar(0) + "x" << QString() << address;
    QTest::newRow("NUL before a dash") << QString(QChar(0)) + "-verbose" << QString() << address;
    QTest::newRow("line feed") << "http://apps.example/a.jnlp\n-verbose" << QString() << address;
    QTest::newRow("NUL in an option") << "http://apps.example/a.jnlp?action=exit&code=0"
                                      << "1m" + QString(QChar(0)) + "-verbose" << options;
    QTest::newRow("1 MiB address") << "http://apps.example/a.jnlp?pad=" + QString(1 << 20, 'a') << QString() << address;
    QTest::newRow("65 character option") << "http://apps.example/a.jnlp?action=exit&code=0" << QString(65, '1')
                                         << options;
}

// Refused before the policy sees it: nothing stored, nothing started.
void TestLaunchCommand::refusedBeforePolicy()
{
    QFETCH(QString, url);
    QFETCH(QString, javaXmx);
    QFETCH(QString, message);
    Utils::changeConfig([](QSettings &s) {
        s.setValue("application_0/url", FORBIDDEN);
        s.setValue("application_0/state", "disabled");
    });
    const QByteArray config = TestSupport::readAll(Utils::fileConfig());
    auto master = connectMaster();
    QVERIFY(master);
    master->socket.sendTextMessage(launchCommand(QJsonObject{{"url", url}, {"javaXmx", javaXmx}}));
    expectFailure(*master, message == "Parametre JVM su neplatne." ? "bad-option" : "bad-url", -200, message);
    QCOMPARE(TestSupport::readAll(Utils::fileConfig()), config);
    QVERIFY(watch.released.isEmpty());
    QVERIFY(!QFile::exists(reportFile));
    if (QTest::currentDataTag() != QLatin1String("NUL after a forbidden address"))
        return;

    // The longest address allowed still reaches the policy, which remembers it.
    const QString longest = "http://apps.example/a.jnlp?action=exit&code=0&pad=";
    auto next = connectMaster();
    QVERIFY(next);
    next->socket.sendTextMessage(launchCommand(longest + QString(8192 - longest.size(), 'a')));
    QTRY_COMPARE_WITH_TIMEOUT(watch.released.size(), 1, 20000);
    QVERIFY(TestSupport::readAll(Utils::fileConfig()).contains(QString(8192 - longest.size(), 'a').toUtf8()));
}

void TestLaunchCommand::floodToRefusedApplication()
{
    {
        QSettings settings(Utils::fileConfig(), QSettings::IniFormat);
        settings.setValue("settings/disableWebStartApps", true);
    }
    auto master = connectMaster();
    QVERIFY(master);
    const QString jnlp = "http://apps.example/flood.jnlp?action=exit&code=0";
    for (int i = 0; i < 50; ++i)
        master->socket.sendTextMessage(launchCommand(jnlp));

    QTRY_COMPARE_WITH_TIMEOUT(master->disconnected.size(), 1, 20000);
    QCOMPARE(master->socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);
    QCOMPARE(master->texts.size(), 2);
    // The second command finds the first still waiting its turn, unless the
    // server had dealt with the first before it read the second.
    const QString busy = "{\"id\":\"\",\"jsonrpc\":\"2.0\",\"method\":\"kavrel.launchStatus\",\"params\":{"
                         "\"cause\":\"session-busy\",\"code\":-200,\"message\":\"Relacia uz ma spustenu "
                         "aplikaciu.\",\"state\":\"error\"}}";
    QVERIFY2(master->text(1) == REFUSED || master->text(1) == busy, qPrintable(master->text(1)));

    // However many commands the server read before the close, each one's process object goes.
    const int refusals = log->warnings().filter("bolo zakazane pouzivatelom").size();
    QCOMPARE(refusals, int(master->text(1) == REFUSED));
    QTRY_COMPARE_WITH_TIMEOUT(watch.unstarted(), refusals, 10000);
    QCOMPARE(watch.released.size(), refusals);
    QVERIFY(!QFile::exists(reportFile));
    QVERIFY(connectMaster());
}

void TestLaunchCommand::chattyApplication()
{
    auto master = connectMaster();
    QVERIFY(master);
    // Far beyond the kept tail and the pipes' buffers.
    const QString jnlp = "http://apps.example/a.jnlp?action=chatter&mb=4";
    master->socket.sendTextMessage(launchCommand(jnlp));
    QTRY_COMPARE_WITH_TIMEOUT(watch.releasedWithLast(jnlp), 1, 60000);
    const Released app = watch.withLast(jnlp);
    QCOMPARE(app.exitStatus, QProcess::NormalExit);
    QCOMPARE(app.exitCode, 0);
    // Standard output is dropped, of standard error only the end is kept.
    QCOMPARE(app.out.size(), 0);
    QVERIFY2(app.err.size() <= Server::ERROR_TAIL, qPrintable(QString::number(app.err.size())));
    QVERIFY2(app.err.endsWith("cccchatter done\n"), app.err.right(100).constData());
    QCOMPARE(master->disconnected.size(), 0);
}

void TestLaunchCommand::foreignHostNotPassedOn()
{
    // The host header is the client's to write; the proxy still delivers the
    // connection here, and the name the certificate does not bear is let go.
    TestPeer master(ca, proxy.proxy());
    QObject::connect(&master.socket, &QWebSocket::sslErrors, &master.socket,
                     [&master]() { master.socket.ignoreSslErrors(); });
    QCOMPARE(master.first(TestSupport::wssUrl("evil.example", port, "/master/T")), TestSupport::MAIN_HELLO);
    const QString jnlp = "http://apps.example/a.jnlp?action=exit&code=0";
    master.socket.sendTextMessage(launchCommand(jnlp));
    QTRY_COMPARE_WITH_TIMEOUT(watch.releasedWithLast(jnlp), 1, 20000);
    const QString slaveUrl = readReport().value("env").toObject().value("KAVREL_URL").toString();
    QVERIFY2(slaveUrl.startsWith(QString("wss://kavrel.localhost:%1/slave/").arg(port)), qPrintable(slaveUrl));
    QCOMPARE(slaveUrl.section('/', -1).size(), 36);
}

QTEST_GUILESS_MAIN(TestLaunchCommand)
#include "tst_launchcommand.moc"
