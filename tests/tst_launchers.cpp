#include "javaappsmanager.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslKey>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

// JavaAppsManager starts the fake javaws from the test helpers, which records
// what it was given and can connect back like a launched application.
class TestLaunchers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void argumentOrder_data();
    void argumentOrder();
    void dashAddressStartsNothing_data();
    void dashAddressStartsNothing();
    void missingJavaWs();
    void fakeRecordsAndExits();
    void fakeCrashes();
    void fakeConnects_data();
    void fakeConnects();
    void fakeRefusesUntrustedServer_data();
    void fakeRefusesUntrustedServer();

private:
    QProcessEnvironment environment(const QString &report) const;
    QJsonObject readReport(const QString &path) const;
    bool openssl(const QStringList &args);

    QTemporaryDir dir;
    QString pathWithHelpers;
};

void TestLaunchers::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    qRegisterMetaType<QProcess::ProcessError>();
    QVERIFY(dir.isValid());
    QVERIFY(QFileInfo(TestSupport::helperPath("javaws")).isExecutable());
    pathWithHelpers = TestSupport::pathWithHelpers();
    qputenv("PATH", QFile::encodeName(pathWithHelpers));

    // A CA with a certificate for the loopback host name, and a stranger CA.
    const QString d = dir.path() + "/";
    QVERIFY(TestSupport::writeFile(d + "ext.cnf", "subjectAltName=DNS:kavrel.localhost,IP:127.0.0.1\n"));
    for (const QString &ca : QStringList{"ca", "other"})
        QVERIFY(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Test " + ca,
                         "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign,cRLSign",
                         "-keyout", d + ca + ".key", "-out", d + ca + ".crt"}));
    QVERIFY(openssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=kavrel.localhost", "-keyout",
                     d + "server.key", "-out", d + "server.csr"}));
    QVERIFY(openssl({"x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.crt", "-CAkey", d + "ca.key",
                     "-CAcreateserial", "-days", "2", "-extfile", d + "ext.cnf", "-out", d + "server.crt"}));
}

bool TestLaunchers::openssl(const QStringList &args)
{
    int code = -1;
    const QString out = TestSupport::runTool("openssl", args, &code);
    if (code != 0)
        qWarning() << out;
    return code == 0;
}

QProcessEnvironment TestLaunchers::environment(const QString &report) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", pathWithHelpers);
    env.insert("KAVREL_TEST_REPORT", report);
    return env;
}

QJsonObject TestLaunchers::readReport(const QString &path) const
{
    return QJsonDocument::fromJson(TestSupport::readAll(path)).object();
}

void TestLaunchers::argumentOrder_data()
{
    QTest::addColumn<QString>("xmx");
    QTest::addColumn<QString>("xms");
    QTest::addColumn<QString>("xss");
    QTest::addColumn<QString>("jnlp");
    QTest::addColumn<QStringList>("expected");

    const QString a = "https://apps.example/app.jnlp?action=exit&code=0";
    QTest::newRow("no options") << ""
                                << ""
                                << "" << a << QStringList{a};
    QTest::newRow("heap only") << "512m"
                               << ""
                               << "" << a << QStringList{"-J-Xmx512m", a};
    QTest::newRow("stack only") << ""
                                << ""
                                << "4m" << a << QStringList{"-J-Xss4m", a};
    QTest::newRow("all, fixed order") << "1g"
                                      << "256m"
                                      << "2m" << a << QStringList{"-J-Xmx1g", "-J-Xms256m", "-J-Xss2m", a};
    QTest::newRow("blanks stay in one argument") << "512m -Dx=1"
                                                 << " 64m"
                                                 << "" << a << QStringList{"-J-Xmx512m -Dx=1", "-J-Xms 64m", a};
    QTest::newRow("empty address") << ""
                                   << "128m"
                                   << ""
                                   << "" << QStringList{"-J-Xms128m", ""};
    QTest::newRow("dash inside the address") << ""
                                             << ""
                                             << ""
                                             << "a-b?action=exit&code=0" << QStringList{"a-b?action=exit&code=0"};
}

void TestLaunchers::argumentOrder()
{
    QFETCH(QString, xmx);
    QFETCH(QString, xms);
    QFETCH(QString, xss);
    QFETCH(QString, jnlp);
    QFETCH(QStringList, expected);

    const QString report = dir.path() + "/order-" + QTest::currentDataTag() + ".json";
    QProcess proc;
    proc.setProcessEnvironment(environment(report));
    QSignalSpy finished(&proc, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    const LaunchResult result = JavaAppsManager::launch(&proc, jnlp, xmx, xms, xss);
    QVERIFY(result.started());
    QVERIFY(result.message.isEmpty());
    QVERIFY(proc.program().endsWith("javaws"));
    QVERIFY(finished.wait(20000));

    const QJsonObject r = readReport(report);
    QCOMPARE(r.value("args").toVariant().toStringList(), expected);
    QCOMPARE(r.value("args").toArray().size(), expected.size());
}

void TestLaunchers::dashAddressStartsNothing_data()
{
    QTest::addColumn<QString>("jnlp");
    QTest::newRow("option") << "-Xtrustall";
    QTest::newRow("dash alone") << "-";
    QTest::newRow("with heap options") << "--help";
}

void TestLaunchers::dashAddressStartsNothing()
{
    QFETCH(QString, jnlp);
    QProcess proc;
    proc.setProcessEnvironment(environment(dir.path() + "/dash.json"));
    QSignalSpy started(&proc, &QProcess::started);
    QSignalSpy errors(&proc, &QProcess::errorOccurred);
    const LaunchResult result = JavaAppsManager::launch(&proc, jnlp, "512m", "", "");
    QCOMPARE(result.code, -200);
    QCOMPARE(result.message, QString("Adresa JNLP suboru je neplatna."));
    QCOMPARE(result.cause, QString("bad-url"));
    QCOMPARE(proc.state(), QProcess::NotRunning);
    QVERIFY(proc.program().isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(started.count(), 0);
    QCOMPARE(errors.count(), 0);
    QVERIFY(!QFile::exists(dir.path() + "/dash.json"));
}

// The launch is only issued; a missing javaws arrives as the process's error.
void TestLaunchers::missingJavaWs()
{
    QTemporaryDir empty;
    qputenv("PATH", QFile::encodeName(empty.path()));
    QProcess proc;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    proc.setProcessEnvironment(env);
    QSignalSpy errors(&proc, &QProcess::errorOccurred);
    const LaunchResult result = JavaAppsManager::launch(&proc, "https://apps.example/a.jnlp", "", "", "");
    qputenv("PATH", QFile::encodeName(pathWithHelpers));
    QVERIFY(result.started());
    QVERIFY(errors.count() > 0 || errors.wait(10000));
    QCOMPARE(errors.first().first().value<QProcess::ProcessError>(), QProcess::FailedToStart);
}

void TestLaunchers::fakeRecordsAndExits()
{
    const QString report = dir.path() + "/exit.json";
    QProcessEnvironment env = environment(report);
    env.insert("KAVREL_URL", "wss://kavrel.localhost:4100/slave/s-1");
    env.insert("KAVREL_CA_FILE", "/x/ca.crt");
    env.insert("KAVREL_P12_FILE", "/x/kavrel.localhost.p12");
    env.insert("KAVREL_P12_PASSWORD", "secret word");
    env.insert("KAVREL_BIND_IP", "127.0.0.1");
    env.insert("KAVREL_OTHER", "not recorded");
    const QStringList args = {"-J-Xmx64m", "https://apps.example/a.jnlp?action=exit&code=7"};
    const ChildResult r = TestSupport::run(TestSupport::helperPath("javaws"), args, env, 20000);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 7);

    const QJsonObject expectedEnv = {{"KAVREL_URL", "wss://kavrel.localhost:4100/slave/s-1"},
                                     {"KAVREL_CA_FILE", "/x/ca.crt"},
                                     {"KAVREL_P12_FILE", "/x/kavrel.localhost.p12"},
                                     {"KAVREL_P12_PASSWORD", "secret word"},
                                     {"KAVREL_BIND_IP", "127.0.0.1"}};
    const QJsonObject expected = {{"args", QJsonArray::fromStringList(args)}, {"env", expectedEnv}};
    QJsonObject got = readReport(report);
    QVERIFY(got.take("pid").toInt() > 0);
    QCOMPARE(got, expected);
}

void TestLaunchers::fakeCrashes()
{
    const QString report = dir.path() + "/crash.json";
    const ChildResult r = TestSupport::run(TestSupport::helperPath("javaws"), {"x.jnlp?action=crash"},
                                           environment(report), 20000);
    QCOMPARE(r.exitStatus, QProcess::CrashExit);
    QCOMPARE(readReport(report).value("args").toArray(), QJsonArray{"x.jnlp?action=crash"});
}

void TestLaunchers::fakeConnects_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("expected"); // after the report; "*" stands for the echoed text

    QTest::newRow("echo by host name") << "kavrel.localhost"
                                       << "action=echo" << QStringList{"*"};
    QTest::newRow("echo by address") << "127.0.0.1"
                                     << "action=echo" << QStringList{"*"};
    QTest::newRow("send") << "kavrel.localhost"
                          << "action=send&text=%7B%22a%22%3A1%7D%20%26" << QStringList{"{\"a\":1} &"};
    QTest::newRow("status") << "kavrel.localhost"
                            << "action=status&url=wss%3A%2F%2F127.0.0.1%3A4000%2Fx"
                            << QStringList{"{\"jsonrpc\":\"2.0\",\"method\":\"kavrel.launchStatus\",\"params\":"
                                           "{\"state\":\"started\",\"url\":\"wss://127.0.0.1:4000/x\"}}"};
}

static void configureServer(QWebSocketServer &server, const QString &d)
{
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setLocalCertificate(QSslCertificate::fromPath(d + "/server.crt").value(0));
    QFile key(d + "/server.key");
    key.open(QIODevice::ReadOnly);
    ssl.setPrivateKey(QSslKey(&key, QSsl::Rsa));
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    server.setSslConfiguration(ssl);
    server.listen(QHostAddress::LocalHost, 0);
}

void TestLaunchers::fakeConnects()
{
    QFETCH(QString, host);
    QFETCH(QString, query);
    QFETCH(QStringList, expected);

    QWebSocketServer server("test", QWebSocketServer::SecureMode);
    configureServer(server, dir.path());
    QVERIFY(server.isListening());
    QSignalSpy accepted(&server, &QWebSocketServer::newConnection);

    const QString url = QString("wss://%1:%2/slave/s-9").arg(host).arg(server.serverPort());
    QProcessEnvironment env = environment(QString());
    env.insert("KAVREL_URL", url);
    env.insert("KAVREL_CA_FILE", dir.path() + "/ca.crt");
    const QString jnlp = "https://apps.example/app.jnlp?" + query;
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(TestSupport::helperPath("javaws"), {"-J-Xss1m", jnlp});
    QSignalSpy finished(&app, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));

    QVERIFY(accepted.wait(20000));
    QWebSocket *slave = server.nextPendingConnection();
    QCOMPARE(slave->requestUrl().path(), QString("/slave/s-9"));
    QSignalSpy received(slave, &QWebSocket::textMessageReceived);
    QTRY_VERIFY_WITH_TIMEOUT(received.count() >= 1, 10000);

    const QJsonObject report = QJsonDocument::fromJson(received.first().first().toString().toUtf8()).object();
    QCOMPARE(report.value("jsonrpc").toString(), QString("2.0"));
    QCOMPARE(report.value("method").toString(), QString("test.report"));
    QCOMPARE(report.value("params").toObject().value("args").toVariant().toStringList(),
             QStringList({"-J-Xss1m", jnlp}));
    QCOMPARE(report.value("params").toObject().value("env").toObject().value("KAVREL_URL").toString(), url);

    if (expected == QStringList{"*"}) {
        for (const QString &text : QStringList{"first", "{\"jsonrpc\":\"2.0\",\"method\":\"x\"}"}) {
            slave->sendTextMessage(text);
            QTRY_VERIFY_WITH_TIMEOUT(received.count() == 2, 10000);
            QCOMPARE(received.takeLast().first().toString(), QString(text));
        }
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1 + expected.size(), 10000);
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(received.at(1 + i).first().toString(), expected.at(i));
    }
    QCOMPARE(app.state(), QProcess::Running);

    slave->close(QWebSocketProtocol::CloseCodeNormal);
    QVERIFY(finished.count() > 0 || finished.wait(20000));
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    delete slave;
}

void TestLaunchers::fakeRefusesUntrustedServer_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("ca");
    QTest::newRow("foreign CA") << "kavrel.localhost"
                                << "other.crt";
    QTest::newRow("name not in the certificate") << "elsewhere.localhost"
                                                 << "ca.crt";
    QTest::newRow("no CA file") << "127.0.0.1"
                                << "missing.crt";
}

void TestLaunchers::fakeRefusesUntrustedServer()
{
    QFETCH(QString, host);
    QFETCH(QString, ca);

    QWebSocketServer server("test", QWebSocketServer::SecureMode);
    configureServer(server, dir.path());
    QVERIFY(server.isListening());
    QSignalSpy accepted(&server, &QWebSocketServer::newConnection);

    QProcessEnvironment env = environment(QString());
    env.insert("KAVREL_URL", QString("wss://%1:%2/slave/s").arg(host).arg(server.serverPort()));
    env.insert("KAVREL_CA_FILE", dir.path() + "/" + ca);
    QProcess app;
    app.setProcessEnvironment(env);
    QSignalSpy finished(&app, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    app.start(TestSupport::helperPath("javaws"), {"https://apps.example/app.jnlp?action=echo"});
    QVERIFY(finished.wait(20000));
    const QByteArray why = app.readAllStandardError();
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 2);
    // Refused by the TLS check itself, not by some other fault on the way.
    QVERIFY2(why.contains("TLS: "), why.constData());
    QCOMPARE(accepted.count(), 0);
}

QTEST_GUILESS_MAIN(TestLaunchers)
#include "tst_launchers.moc"
