// The agent launches a real Java Web Start application through Debian's
// javaws (icedtea-web): tests/javaws-app/KavrelProbe.java with the application
// kit of clients/java, built and signed here, served from a local HTTP server.
// It joins the page's session as slave, reports the variables it got, echoes
// the page, asks the page through the kit's request() and ends when the page
// leaves. Then the example application of clients/java/example, built by its
// own script, answers a page's requests.
#include "childprocess.h"
#include "httpserver.h"
#include "loopbackproxy.h"
#include "testpeer.h"
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>

using namespace TestSupport;

static const QRegularExpression STATE_LINE("^(wss://kavrel\\.localhost:(\\d+))/master/\\S+\n$");
static const QString APP_DIR = QString::fromUtf8(KAVREL_SOURCE_DIR) + "/tests/javaws-app";
static const QString KIT = QString::fromUtf8(KAVREL_SOURCE_DIR) + "/clients/java/com/obrenta/kavrel/KavrelSession.java";
static const QString EXAMPLE_DIR = QString::fromUtf8(KAVREL_SOURCE_DIR) + "/clients/java/example";
static const QString STORE_PASSWORD = "probe-signer";
static const int BUDGET_MS = 150000;

static QJsonObject parsed(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

static bool tool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(10000) || !p.waitForFinished(60000)) {
        qWarning() << program << "did not run";
        return false;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning().noquote() << program << args.join(' ') << "\n" << p.readAll();
        return false;
    }
    return true;
}

// The parent of a process, 0 when it is gone.
static qint64 parentOf(qint64 pid)
{
    const QByteArray stat = readAll(QString("/proc/%1/stat").arg(pid));
    // "pid (comm) state ppid ...", and comm may hold anything.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() : 0;
}

// The processes a process started that still run.
static QList<qint64> childrenOf(qint64 parent)
{
    QList<qint64> children;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        const qint64 pid = entry.toLongLong();
        if (pid > 0 && parentOf(pid) == parent)
            children << pid;
    }
    return children;
}

// The first shell block under a heading of the testing guide.
static QString guideBlock(const QString &heading)
{
    const QString guide = QString::fromUtf8(readAll(QString::fromUtf8(KAVREL_SOURCE_DIR) + "/docs/testing.md"));
    const int start = guide.indexOf("```sh\n", guide.indexOf(heading + "\n"));
    const int end = guide.indexOf("\n```\n", start);
    return start < 0 || end < 0 ? QString() : guide.mid(start + 6, end - start - 6);
}

static QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Whatever the agent started must not outlive a failed test.
struct ChildrenReaper
{
    qint64 parent = 0;
    ~ChildrenReaper()
    {
        if (parent == 0)
            return;
        for (const qint64 pid : childrenOf(parent))
            TestSupport::signalProcess(pid, SIGKILL);
    }
};

class TestJavaws : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void applicationJoinsThePage();

private:
    void buildApplication(const QString &work, const QString &served, const QString &codebase);
    void buildExample(const QString &work, const QString &codebase);

    LoopbackProxy proxy;
};

void TestJavaws::initTestCase()
{
    qRegisterMetaType<QList<QSslError>>();
    QVERIFY(proxy.isListening());
    for (const QString name : {"javac", "jar", "keytool", "jarsigner"})
        QVERIFY2(!QStandardPaths::findExecutable(name).isEmpty(), qPrintable(name + " missing (setup.sh --tests)"));
    // The real one from the search path, never the fake among the helpers.
    const QString javaws = QStandardPaths::findExecutable("javaws");
    QVERIFY2(!javaws.isEmpty(), "javaws missing (setup.sh --tests)");
    QVERIFY(QFileInfo(javaws).canonicalFilePath() != QFileInfo(helperPath("javaws")).canonicalFilePath());
}

// A jar signed with a key made here, whose signer icedtea-web trusts through
// its store under $XDG_CONFIG_HOME (which it reads from the environment the
// agent passes on). Without a display icedtea-web asks its questions on
// standard input, which the agent keeps open and never writes, so nothing may
// be left to ask: the trusted signer answers the signature question and the
// manifest's Permissions attribute the one about the missing attribute.
void TestJavaws::buildApplication(const QString &work, const QString &served, const QString &codebase)
{
    QVERIFY(QDir().mkpath(work + "/classes") && QDir().mkpath(served));
    QVERIFY(tool("javac",
                 {"--release", "11", "-Xlint:all", "-Werror", "-d", work + "/classes", APP_DIR + "/KavrelProbe.java",
                  KIT}));
    QVERIFY(tool("jar", {"cfm", served + "/probe.jar", APP_DIR + "/manifest.txt", "-C", work + "/classes", "."}));
    const QString signer = work + "/signer.p12";
    QVERIFY(tool("keytool",
                 {"-genkeypair", "-alias", "probe", "-keyalg", "RSA", "-keysize", "2048", "-dname",
                  "CN=Kavrel probe test", "-validity", "2", "-storetype", "PKCS12", "-keystore", signer, "-storepass",
                  STORE_PASSWORD, "-keypass", STORE_PASSWORD}));
    QVERIFY(tool("jarsigner", {"-keystore", signer, "-storepass", STORE_PASSWORD, served + "/probe.jar", "probe"}));
    QVERIFY(tool("keytool",
                 {"-exportcert", "-alias", "probe", "-keystore", signer, "-storepass", STORE_PASSWORD, "-file",
                  work + "/signer.crt"}));
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME") + "/icedtea-web";
    QVERIFY(QDir().mkpath(config + "/security"));
    // icedtea-web's own store: JKS with its fixed password.
    QVERIFY(tool("keytool",
                 {"-importcert", "-noprompt", "-alias", "probe", "-file", work + "/signer.crt", "-keystore",
                  config + "/security/trusted.certs", "-storetype", "JKS", "-storepass", "changeit"}));
    // No proxy, whatever the account's browser says, and the lock files here
    // rather than in the shared temporary directory.
    const QByteArray locks = QFile::encodeName(work + "/locks");
    QVERIFY(writeFile(config + "/deployment.properties",
                      "deployment.proxy.type=0\ndeployment.user.locksdir=" + locks
                          + "\ndeployment.user.runningfile=" + locks + "/netx_running\n"));

    QByteArray jnlp = readAll(APP_DIR + "/probe.jnlp.in");
    QVERIFY(jnlp.contains("@CODEBASE@"));
    QVERIFY(writeFile(served + "/probe.jnlp", jnlp.replace("@CODEBASE@", codebase.toUtf8())));
}

// The example as its guide builds it: its script, with a key of its own that
// icedtea-web is then told to trust.
void TestJavaws::buildExample(const QString &work, const QString &codebase)
{
    QProcess build;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("OUT", work);
    build.setProcessEnvironment(env);
    build.setProcessChannelMode(QProcess::MergedChannels);
    build.start(EXAMPLE_DIR + "/build.sh", {codebase});
    QVERIFY(build.waitForFinished(120000));
    QVERIFY2(build.exitStatus() == QProcess::NormalExit && build.exitCode() == 0, build.readAll().constData());
    QVERIFY(readAll(work + "/www/example.jnlp").contains("codebase=\"" + codebase.toUtf8() + "\""));
    QVERIFY(tool("keytool",
                 {"-importcert", "-noprompt", "-alias", "example", "-file", work + "/signer.crt", "-keystore",
                  qEnvironmentVariable("XDG_CONFIG_HOME") + "/icedtea-web/security/trusted.certs", "-storetype", "JKS",
                  "-storepass", "changeit"}));
}

void TestJavaws::applicationJoinsThePage()
{
    // Every wait draws on one budget, so that the whole test stays bounded.
    const QDeadlineTimer deadline(BUDGET_MS);
    const auto within = [&deadline](auto done) { return QTest::qWaitFor(done, int(deadline.remainingTime())); };

    TestHome home;
    seedAgentHome();
    // A CI home as docs/testing.md makes one: the agent's files copied in and
    // its CA added to a browser's database by the guide's own commands, so
    // that the agent starts without a display and without its notice, which
    // would wait for ever.
    const QString recipe = guideBlock("## Giving the test browser the agent's CA");
    QVERIFY2(recipe.contains("certutil"), qPrintable(recipe));
    QVERIFY(tool("sh", {"-e", "-c", recipe}));
    QVERIFY(QFileInfo::exists(qEnvironmentVariable("XDG_DATA_HOME") + "/pki/nssdb/cert9.db"));
    QTemporaryDir work;
    QVERIFY(work.isValid());
    HttpServer http(work.path() + "/www");
    QVERIFY(http.isListening());
    buildApplication(work.path(), work.path() + "/www", http.url(""));
    if (QTest::currentTestFailed())
        return;
    buildExample(work.path() + "/example", http.url(""));
    if (QTest::currentTestFailed())
        return;
    http.addRoot(work.path() + "/example/www");

    // No display, so icedtea-web runs headless.
    QProcessEnvironment env = offscreen();
    env.remove("WAYLAND_DISPLAY");
    QStringList path = env.value("PATH").split(':');
    path.removeAll(QFileInfo(helperPath("javaws")).absolutePath());
    env.insert("PATH", path.join(':'));
    const QString probeLog = work.path() + "/probe.log";
    env.insert("KAVREL_PROBE_LOG", probeLog);

    ChildProcess agent;
    agent.setProcessEnvironment(env);
    agent.setStandardOutputFile(QProcess::nullDevice());
    const QString agentLog = artifactsDir() + "/javaws-agent.err";
    agent.setStandardErrorFile(agentLog);
    agent.start(kavrelPath(), {"-s"});
    QVERIFY(agent.waitForStarted(10000));
    ChildrenReaper reaper;
    reaper.parent = agent.processId();
    const QString config = home.path() + "/.obrenta/kavrel";
    const auto state = [&config]() { return QString::fromUtf8(readAll(config + "/Kavrel.state")); };
    const auto agentSaid = [&agentLog]() { return QString::fromUtf8(readAll(agentLog)); };
    QVERIFY2(within([&]() { return STATE_LINE.match(state()).hasMatch(); }), qPrintable(agentSaid()));
    const QString server = STATE_LINE.match(state()).captured(1);
    const QUrl masterUrl(state().trimmed());

    // Pages of other sessions, opened before and after ours, must hear nothing of it.
    const QSslCertificate ca = agentCa();
    TestPeer before(ca, proxy.proxy()), page(ca, proxy.proxy()), after(ca, proxy.proxy());
    for (TestPeer *peer : {&before, &page, &after}) {
        peer->socket.open(masterUrl);
        QVERIFY(within([peer]() { return peer->texts.count() == 1; }));
    }
    const QString greeting = page.text(0);
    QCOMPARE(parsed(greeting).value("method").toString(), QString("hello"));

    page.socket.sendTextMessage(
        QJsonDocument(
            QJsonObject{{"id", 1},
                        {"jsonrpc", "2.0"},
                        {"method", "kavrel.launch"},
                        {"params",
                         QJsonObject{{"url", http.url("probe.jnlp")}, {"javaXmx", "512m"}, {"javaXss", "1m"}}}})
            .toJson(QJsonDocument::Compact));
    QVERIFY2(within([&]() { return page.indexOf("probe.report") >= 0 || page.indexOf("kavrel.launchStatus") >= 0; }),
             qPrintable(agentSaid() + QString::fromUtf8(readAll(probeLog))));
    const int reportAt = page.indexOf("probe.report");
    QVERIFY2(reportAt >= 0, qPrintable(page.received().join('\n')));
    const QJsonObject report = page.params(reportAt);

    // Exactly the five variables, naming what the agent keeps for this page.
    const QJsonObject env5 = report.value("env").toObject();
    const QString slaveUrl = env5.value("KAVREL_URL").toString();
    QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(server) + "/slave/" + UUID_PATTERN + "$")
                 .match(slaveUrl)
                 .hasMatch(),
             qPrintable(slaveUrl));
    const QJsonObject expected{{"KAVREL_URL", slaveUrl},
                               {"KAVREL_CA_FILE", config + "/certificates/ca.crt"},
                               {"KAVREL_P12_FILE", config + "/certificates/kavrel.localhost.p12"},
                               {"KAVREL_P12_PASSWORD", "kretu"},
                               {"KAVREL_BIND_IP", "127.0.0.1"}};
    QCOMPARE(env5, expected);
    QVERIFY(QFileInfo::exists(expected.value("KAVREL_P12_FILE").toString()));
    // The application was greeted as the agent greets, and got the memory options.
    QCOMPARE(report.value("greeting").toString(), greeting);
    const QJsonArray jvmArgs = report.value("jvmArgs").toArray();
    QVERIFY2(jvmArgs.contains("-Xmx512m") && jvmArgs.contains("-Xss1m"),
             QJsonDocument(jvmArgs).toJson(QJsonDocument::Compact).constData());
    // The process the agent started is the application itself.
    const qint64 app = report.value("pid").toVariant().toLongLong();
    QCOMPARE(parentOf(app), agent.processId());

    const QString hello = R"({"jsonrpc":"2.0","method":"test.echo","params":{"text":"Dobrý deň, aplikácia"}})";
    page.socket.sendTextMessage(hello);
    QVERIFY(within([&]() { return page.texts.count() >= reportAt + 2; }));
    QCOMPARE(page.text(reportAt + 1), hello);
    // Frames whose length takes two and eight bytes, both ways through the kit.
    const QString mid = QString("ľ").repeated(200);
    const QString large = QString("ťa").repeated(40000);
    page.socket.sendTextMessage(mid);
    page.socket.sendTextMessage(large);
    QVERIFY(within([&]() { return page.texts.count() >= reportAt + 4; }));
    QCOMPARE(page.text(reportAt + 2), mid);
    QVERIFY(page.text(reportAt + 3) == large);
    QCOMPARE(before.texts.count(), 1);
    QCOMPARE(after.texts.count(), 1);
    QCOMPARE(parentOf(app), agent.processId());
    QVERIFY(!QFileInfo::exists(probeLog));

    // The same kit, run by plain java against the same agent, joins nothing it
    // cannot trust or that does not exist: an unknown session, a foreign CA,
    // a host name the certificate does not carry.
    makeContainer(work.path(), "foreign", {"-newkey", "rsa:2048"}, "/CN=Foreign CA", "x");
    if (QTest::currentTestFailed())
        return;
    const QString session = slaveUrl.section('/', -1);
    const QString port = QString::number(QUrl(slaveUrl).port());
    struct Refusal
    {
        QString url, ca, expected;
    };
    const QList<Refusal> refusals{{server + "/slave/" + QUuid::createUuid().toString(QUuid::WithoutBraces),
                                   expected.value("KAVREL_CA_FILE").toString(), "unknown session"},
                                  {slaveUrl, work.path() + "/foreign.crt", "SSLHandshakeException"},
                                  {"wss://localhost:" + port + "/slave/" + session,
                                   expected.value("KAVREL_CA_FILE").toString(), "SSLHandshakeException"}};
    for (const Refusal &refusal : refusals) {
        QProcessEnvironment direct = env;
        direct.insert("KAVREL_URL", refusal.url);
        direct.insert("KAVREL_CA_FILE", refusal.ca);
        direct.insert("KAVREL_BIND_IP", "127.0.0.1");
        const ChildResult java = run("java", {"-cp", work.path() + "/classes", "KavrelProbe"}, direct,
                                     int(deadline.remainingTime()));
        const QString said = QString::fromUtf8(readAll(probeLog));
        QVERIFY2(java.exitCode == 2 && said.startsWith("error ") && said.contains(refusal.expected),
                 qPrintable(refusal.url + ": " + said + java.err));
        QVERIFY(QFile::remove(probeLog));
    }
    // None of them disturbed the page's session.
    page.socket.sendTextMessage(hello);
    QVERIFY(within([&]() { return page.texts.count() >= reportAt + 5; }));
    QCOMPARE(page.text(reportAt + 4), hello);

    // The application asks the page through request(): once answered with a
    // result, once with an error. The answers reach its request() alone (the
    // probe echoes everything else).
    const QList<QJsonObject> answers{QJsonObject{{"result", QJsonObject{{"name", "Ľubica"}}}},
                                     QJsonObject{{"error",
                                                  QJsonObject{{"code", -32001},
                                                              {"message", "Nie je známe"},
                                                              {"data", QJsonArray{1, "dva"}}}}}};
    QStringList ids;
    for (int i = 0; i < answers.size(); ++i) {
        const int at = reportAt + 5 + 2 * i;
        page.socket.sendTextMessage(R"({"jsonrpc":"2.0","id":"p1","method":"probe.ask","params":{}})");
        QVERIFY(within([&]() { return page.texts.count() >= at + 1; }));
        const QJsonObject asked = parsed(page.text(at));
        QCOMPARE(asked.value("method").toString(), QString("page.name"));
        QCOMPARE(asked.value("params").toObject(), QJsonObject({{"of", "probe"}}));
        ids << asked.value("id").toString();
        QJsonObject answer = answers.at(i);
        answer.insert("jsonrpc", "2.0");
        answer.insert("id", ids.last());
        page.socket.sendTextMessage(compact(answer));
        QVERIFY(within([&]() { return page.texts.count() >= at + 2; }));
        QCOMPARE(parsed(page.text(at + 1)).value("method").toString(), QString("probe.asked"));
    }
    QVERIFY(ids.at(0).startsWith("kavrel-request-") && ids.at(0) != ids.at(1));
    QCOMPARE(page.params(reportAt + 6), answers.at(0));
    QCOMPARE(page.params(reportAt + 8),
             QJsonObject({{"code", -32001}, {"message", "Nie je známe"}, {"data", QJsonArray{1, "dva"}}}));
    page.socket.sendTextMessage(hello);
    QVERIFY(within([&]() { return page.texts.count() >= reportAt + 10; }));
    QCOMPARE(page.text(reportAt + 9), hello);

    // The page leaves: the agent closes the application's connection, and the
    // application ends.
    page.socket.close();
    QVERIFY2(within([app]() { return parentOf(app) == 0; }), qPrintable(QString::fromUtf8(readAll(probeLog))));
    QCOMPARE(QString::fromUtf8(readAll(probeLog)), QString("closed 1000\n"));
    QCOMPARE(before.texts.count(), 1);
    QCOMPARE(after.texts.count(), 1);
    QCOMPARE(before.disconnected.count(), 0);
    QCOMPARE(after.disconnected.count(), 0);

    // The example application, launched with outcomes as the page kit asks:
    // it tells the page it is ready, answers its requests, and ends when the
    // page leaves.
    TestPeer examplePage(ca, proxy.proxy());
    examplePage.socket.open(masterUrl);
    QVERIFY(within([&]() { return examplePage.texts.count() == 1; }));
    examplePage.socket.sendTextMessage(
        compact(QJsonObject{{"id", 1},
                            {"jsonrpc", "2.0"},
                            {"method", "kavrel.launch"},
                            {"params", QJsonObject{{"url", http.url("example.jnlp")}, {"outcomes", true}}}}));
    QVERIFY2(within([&]() { return examplePage.indexOf("example.ready") >= 0; }),
             qPrintable(examplePage.received().join('\n') + agentSaid()));
    QStringList states;
    for (int i = 0; i < examplePage.texts.count(); ++i) {
        if (parsed(examplePage.text(i)).value("method").toString() == "kavrel.launchStatus")
            states << examplePage.params(i).value("state").toString();
    }
    QCOMPARE(states, QStringList({"started", "joined"}));
    const QList<qint64> running = childrenOf(agent.processId());
    QCOMPARE(running.size(), 1);
    const QStringList requests{R"({"jsonrpc":"2.0","id":7,"method":"example.sum","params":[0.1,0.2,40]})",
                               R"({"jsonrpc":"2.0","id":"a","method":"example.about"})",
                               R"({"jsonrpc":"2.0","id":8,"method":"example.sum","params":["x"]})",
                               R"({"jsonrpc":"2.0","method":"example.sum","params":[1]})",
                               R"({"jsonrpc":"2.0","id":9,"method":"example.nothing","params":{}})"};
    const int asked = examplePage.texts.count();
    for (const QString &request : requests)
        examplePage.socket.sendTextMessage(request);
    // The notification gets no answer.
    QVERIFY(within([&]() { return examplePage.texts.count() >= asked + 4; }));
    QCOMPARE(parsed(examplePage.text(asked)), QJsonObject({{"jsonrpc", "2.0"}, {"id", 7}, {"result", 40.3}}));
    const QJsonObject about = parsed(examplePage.text(asked + 1)).value("result").toObject();
    QVERIFY(!about.value("user").toString().isEmpty() && !about.value("java").toString().isEmpty());
    QCOMPARE(parsed(examplePage.text(asked + 2)).value("error").toObject().value("code").toInt(), -32602);
    QCOMPARE(parsed(examplePage.text(asked + 3)).value("id").toInt(), 9);
    QCOMPARE(parsed(examplePage.text(asked + 3)).value("error").toObject().value("code").toInt(), -32601);
    examplePage.socket.close();
    QVERIFY(within([&]() { return childrenOf(agent.processId()).isEmpty(); }));
    QCOMPARE(examplePage.texts.count(), asked + 4);

    QCOMPARE(TestSupport::signalProcess(agent.processId(), SIGTERM), 0);
    QVERIFY(agent.ended(int(deadline.remainingTime())));
    QCOMPARE(agent.exitCode(), 0);
}

QTEST_MAIN(TestJavaws)
#include "tst_javaws.moc"
