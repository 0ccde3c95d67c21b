#include "childprocess.h"
#include "loopbackproxy.h"
#include "redirectserver.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QSet>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace TestSupport;

static const QString TOKEN = "page-token-7";
static const QString BAD_URL = "[C] Spúšťacia URL ma nesprávny tvar. (:0, )\n";
static const QByteArray GONE = QByteArray("-300") + '\0' + "Aplikacia Kavrel neocakavane skoncila";

static QString redirectHello(const QString &url)
{
    return R"({"id":null,"jsonrpc":"2.0","method":"hello","params":{"url":")" + url
        + R"(","version":")" KAVREL_VERSION R"("}})";
}

// The fake javaws comes first, so no main instance warns that Java is missing.
static QProcessEnvironment withJavaws(QProcessEnvironment env)
{
    env.insert("PATH", pathWithHelpers());
    return env;
}

static bool isRunning(qint64 pid)
{
    const QByteArray stat = readAll("/proc/" + QString::number(pid) + "/stat");
    const int end = stat.lastIndexOf(')');
    return end > 0 && stat.mid(end + 2, 1) != "Z";
}

static QString launchUrl(const QString &query)
{
    return "obrenta-kavrel:?" + query;
}

// Starts a launcher for a launch URL with the test's token, hostnames and
// count ports held until the start, so that nobody else took them meanwhile.
static QList<quint16> startOnHeldPorts(ChildProcess &launcher, const QProcessEnvironment &env, const QString &hostnames,
                                       int count)
{
    PortHold hold(count);
    const QList<quint16> ports = hold.ports();
    QStringList listed;
    for (quint16 port : ports)
        listed << QString::number(port);
    launcher.setProcessEnvironment(env);
    hold.release();
    launcher.start(kavrelPath(),
                   {launchUrl(QString("hostnames=%1&ports=%2&token=%3").arg(hostnames, listed.join(','), TOKEN))});
    return ports;
}

// Every main instance a case brought up ends with the case, also when it fails.
class MainInstances
{
public:
    ~MainInstances()
    {
        remember();
        for (qint64 pid : qAsConst(pids)) {
            TestSupport::signalProcess(pid, SIGTERM);
            if (!QTest::qWaitFor([pid]() { return !isRunning(pid); }, 10000)) {
                TestSupport::signalProcess(pid, SIGKILL);
                if (!QTest::qWaitFor([pid]() { return !isRunning(pid); }, 5000))
                    qWarning() << "main instance" << pid << "outlived the test";
            }
        }
    }
    // The owner of the lock file, if that is one of our executables.
    qint64 remember()
    {
        const qint64 pid = lockOwner();
        const QString exe = QFileInfo("/proc/" + QString::number(pid) + "/exe").symLinkTarget();
        if (pid <= 0 || pid == QCoreApplication::applicationPid() || exe != QFileInfo(kavrelPath()).canonicalFilePath())
            return 0;
        pids.insert(pid);
        return pid;
    }

private:
    QSet<qint64> pids;
};

class TestLauncher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void launcherRoad();
    void firstStartByLaunchUrl();
    void bareStartStartsMainInstance();
    void badLaunchUrl_data();
    void badLaunchUrl();
    void acceptedLaunchUrl_data();
    void acceptedLaunchUrl();
    void noListenerEndsLauncher();
    void portsFreedWhileWaiting();
    void refusedRequests();
    void externalAppAnswer();
    void externalAppStartsMainInstance();
    void staleStateFileKeepsWaiting();
    void alreadyRunningBox();
    void lifetimeClosesListeners();
    // Last: started by initTestCase, it waits out its ten seconds meanwhile.
    void externalAppMainInstanceGone();

private:
    QNetworkProxy proxy() const { return loopback.proxy(); }
    void startMainInstance(ChildProcess &main, MainInstances &mains, QUrl *stateUrl);

    void startMainInstanceGone();

    LoopbackProxy loopback;
    std::unique_ptr<TestHome> goneHome;
    ChildProcess goneLauncher;
    QElapsedTimer goneTimer;
    QString goneLock;
};

void TestLauncher::initTestCase()
{
    qRegisterMetaType<QList<QSslError>>();
    QVERIFY(loopback.isListening());
    startMainInstanceGone();
}

// The test plays a main instance that ends before it publishes its state.
void TestLauncher::startMainInstanceGone()
{
    goneHome = std::make_unique<TestHome>();
    seedAgentHome();
    goneLock = Utils::fileLock();
    QLockFile lock(goneLock);
    QVERIFY(lock.tryLock(0));
    goneLauncher.setProcessEnvironment(offscreen());
    goneTimer.start();
    goneLauncher.start(kavrelPath(), {"-l"});
    QVERIFY(goneLauncher.waitForStarted());
    QVERIFY(goneLauncher.waitForLog("Startujem v rezime launcher"));
    lock.unlock();
    goneHome->leave();
}

void TestLauncher::startMainInstance(ChildProcess &main, MainInstances &mains, QUrl *stateUrl)
{
    main.setProcessEnvironment(withJavaws(offscreen()));
    main.start(kavrelPath(), {"-s"});
    QVERIFY(main.waitForStarted());
    const bool published =
        QTest::qWaitFor([&]() { return QFileInfo::exists(Utils::fileState()) || main.state() == QProcess::NotRunning; },
                        30000);
    QVERIFY2(published, qPrintable(main.errText()));
    QVERIFY2(QFileInfo::exists(Utils::fileState()), qPrintable(main.errText()));
    QCOMPARE(mains.remember(), main.processId());
    const QByteArray state = readAll(Utils::fileState());
    QVERIFY(state.endsWith('\n'));
    *stateUrl = QUrl(QString::fromUtf8(state.trimmed()));
    QCOMPARE(stateUrl->host(), QString("kavrel.localhost"));
}

void TestLauncher::launcherRoad()
{
    TestHome home;
    seedAgentHome();
    ChildProcess main;
    MainInstances mains;
    QUrl stateUrl;
    startMainInstance(main, mains, &stateUrl);
    if (QTest::currentTestFailed())
        return;

    ChildProcess launcher;
    const QList<quint16> ports = startOnHeldPorts(launcher, withJavaws(offscreen()), "kavrel.localhost,127.0.0.1", 2);
    QVERIFY(launcher.waitForStarted());
    for (quint16 port : ports)
        QVERIFY2(launcher.waitForLog(
                     QString("[I] RedirectServer: Pocuvam na: \"kavrel.localhost\" \"127.0.0.1\" %1 (:0, )\n")
                         .arg(port)),
                 qPrintable(launcher.errText()));
    // The two host names are one: two listeners, not four.
    QCOMPARE(launcher.errText().count("RedirectServer: Pocuvam na:"), 2);

    QUrl byAddress = stateUrl;
    byAddress.setHost("127.0.0.1");
    TestPeer direct(agentCa());
    QCOMPARE(direct.first(wssUrl("127.0.0.1", ports[0], "/getUrl/" + TOKEN)), redirectHello(byAddress.toString()));
    QVERIFY(direct.sslErrors.isEmpty());

    TestPeer named(agentCa(), proxy());
    QCOMPARE(named.first(wssUrl("kavrel.localhost", ports[1], "/getUrl/" + TOKEN)), redirectHello(stateUrl.toString()));
    QVERIFY(named.sslErrors.isEmpty());

    // What the page was told admits it to the main instance.
    TestPeer master(agentCa(), proxy());
    QCOMPARE(master.first(stateUrl), MAIN_HELLO);

    direct.socket.close();
    QTRY_COMPARE_WITH_TIMEOUT(direct.disconnected.count(), 1, 10000);
    // The other listener still serves.
    TestPeer again(agentCa(), proxy());
    QCOMPARE(again.first(wssUrl("kavrel.localhost", ports[1], "/getUrl/" + TOKEN)), redirectHello(stateUrl.toString()));
    QCOMPARE(launcher.state(), QProcess::Running);

    again.socket.close();
    named.socket.close();
    QVERIFY2(launcher.ended(), qPrintable(launcher.errText()));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(direct.received().size(), 1);
    QCOMPARE(named.received().size(), 1);
    // The main instance does not go with the launcher.
    QCOMPARE(main.state(), QProcess::Running);
    QCOMPARE(master.socket.state(), QAbstractSocket::ConnectedState);
}

void TestLauncher::firstStartByLaunchUrl()
{
    TestHome home;
    seedAgentHome();
    MainInstances mains;
    ChildProcess launcher;
    const QList<quint16> ports = startOnHeldPorts(launcher, withJavaws(offscreen()), "127.0.0.1", 1);
    QVERIFY(launcher.waitForStarted());
    QVERIFY2(launcher.waitForLog("RedirectServer: Pocuvam na:", 30000), qPrintable(launcher.errText()));
    // Listening means the started main instance has published its state.
    QVERIFY(mains.remember() > 0);
    QUrl stateUrl(QString::fromUtf8(readAll(Utils::fileState()).trimmed()));
    QVERIFY(stateUrl.port() > 0);

    TestPeer page(agentCa());
    const QString hello = page.first(wssUrl("127.0.0.1", ports[0], "/getUrl/" + TOKEN));
    stateUrl.setHost("127.0.0.1");
    QCOMPARE(hello, redirectHello(stateUrl.toString()));
    TestPeer master(agentCa());
    QCOMPARE(master.first(stateUrl), MAIN_HELLO);

    page.socket.close();
    QVERIFY2(launcher.ended(), qPrintable(launcher.errText()));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
}

void TestLauncher::bareStartStartsMainInstance()
{
    TestHome home;
    seedAgentHome();
    MainInstances mains;
    // A box would never be answered here, so ending at all means there was none.
    const ChildResult r = runKavrel({}, withJavaws(offscreen()), 20000);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.isEmpty());
    QVERIFY(QTest::qWaitFor([]() { return QFileInfo::exists(Utils::fileState()); }, 30000));
    QVERIFY(mains.remember() > 0);
}

void TestLauncher::badLaunchUrl_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("warnings");
    const QString ports = "&ports=50001&token=t";
    const QString noHost = "Spustacia URL neobsahuje ziadny platny hostname";
    const QString range = "Spustacia URL obsahuje port mimo rozsah ";
    const QString count = "Spustacia URL obsahuje nespravny pocet portov";
    const QString token = "Chyba parameter token: ";
    QTest::newRow("IPv6 address") << "hostnames=fd6d:c83b:5cef:b6b2::1"
            + ports << QStringList{"Hostname  \"fd6d:c83b:5cef:b6b2::1\"  nie je podporovany - vyradujem.", noHost};
    QTest::newRow("foreign name") << "hostnames=example.com,,example.org" + ports
                                  << QStringList{"Hostname  \"example.com\"  nie je podporovany - vyradujem.",
                                                 "Hostname  \"example.org\"  nie je podporovany - vyradujem.", noHost};
    QTest::newRow("no hostnames") << "ports=50001&token=t" << QStringList{noHost};
    QTest::newRow("port 49150") << "hostnames=127.0.0.1&ports=50001,49150&token=t" << QStringList{range};
    QTest::newRow("port 65536") << "hostnames=127.0.0.1&ports=65536&token=t" << QStringList{range};
    QTest::newRow("port letters") << "hostnames=127.0.0.1&ports=abc&token=t" << QStringList{range};
    QTest::newRow("empty ports") << "hostnames=127.0.0.1&ports=&token=t" << QStringList{count};
    QTest::newRow("commas only") << "hostnames=127.0.0.1&ports=,,&token=t" << QStringList{count};
    QTest::newRow("six ports") << "hostnames=127.0.0.1&ports=50001,50002,50003,50004,50005,50006&token=t"
                               << QStringList{count};
    QTest::newRow("no token") << "hostnames=127.0.0.1&ports=50001" << QStringList{token};
    QTest::newRow("blank token") << "hostnames=127.0.0.1&ports=50001&token=%20%20%09" << QStringList{token};
    // No page could ever present these in a request path.
    const QString shape = "Spustacia URL obsahuje nespravny token: ";
    QTest::newRow("token with /") << "hostnames=127.0.0.1&ports=50001&token=a%2Fb" << QStringList{shape};
    QTest::newRow("token of 2049") << "hostnames=127.0.0.1&ports=50001&token=" + QString(2049, 'x')
                                   << QStringList{shape};
}

void TestLauncher::badLaunchUrl()
{
    QFETCH(QString, query);
    QFETCH(QStringList, warnings);
    TestHome home;
    seedAgentHome();
    QLockFile lock(Utils::fileLock());
    pretendMainInstance(lock);
    Xvfb x;
    QVERIFY(x.isRunning());

    const QString url = launchUrl(query);
    ChildProcess launcher;
    launcher.setProcessEnvironment(x.environment());
    launcher.start(kavrelPath(), {url});
    QVERIFY(launcher.waitForStarted());
    const QStringList windows = x.windowsOf(launcher.processId());
    QVERIFY2(!windows.isEmpty(), qPrintable(launcher.errText()));
    if (QTest::currentDataTag() == QLatin1String("port 49150"))
        x.screenshot("launcher-bad-url");
    QVERIFY(x.pressKey(windows.first(), "Return"));
    QVERIFY(launcher.ended());
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 255);

    const QString err = launcher.errText();
    // Each warning in turn; the one naming the rule also carries the URL.
    int from = 0;
    for (const QString &warning : qAsConst(warnings)) {
        const QString quotedUrl = warning.startsWith("Hostname") ? QString() : " \"" + url + "\"";
        const QString line = "[W] " + warning + quotedUrl + " (:0, )\n";
        const int at = err.indexOf(line, from);
        QVERIFY2(at >= from, qPrintable(line + "\n--- got:\n" + err));
        from = at + line.size();
    }
    QVERIFY2(err.indexOf(BAD_URL, from) >= from, qPrintable(err));
    QCOMPARE(err.count("[W] Hostname"), warnings.filter("Hostname").size());
    QCOMPARE(err.count("[W] Spustacia") + err.count("[W] Chyba"), 1);
    QVERIFY(!err.contains("Pocuvam"));
    // Nobody was started: the lock told the launcher a main instance runs.
    QCOMPARE(lockOwner(), QCoreApplication::applicationPid());
}

void TestLauncher::acceptedLaunchUrl_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QList<quint16>>("ports");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<quint16>("taken");
    // Each row holds its ports again until its launcher starts.
    const QList<quint16> two = PortHold(2).ports();
    QTest::newRow("lowest port") << "hostnames=127.0.0.1&ports=49151&token=" + TOKEN << QList<quint16>{49151}
                                 << QString() << quint16(0);
    QTest::newRow("empty port items")
        << QString("hostnames=127.0.0.1&ports=%1,,%2,&token=%3").arg(two[0]).arg(two[1]).arg(TOKEN) << two << QString()
        << quint16(0);
    QTest::newRow("invalid host, then valid")
        << QString("hostnames=example.com,kavrel.localhost&ports=%1&token=%2").arg(two[0]).arg(TOKEN)
        << QList<quint16>{two[0]} << "[W] Hostname  \"example.com\"  nie je podporovany - vyradujem. (:0, )\n"
        << quint16(0);
    QTest::newRow("blanks around values")
        << QString("hostnames=%20127.0.0.1%20&ports=%20%1%20&token=%20%2%20").arg(two[0]).arg(TOKEN)
        << QList<quint16>{two[0]} << QString() << quint16(0);
    QTest::newRow("scheme in capitals")
        << QString("hostnames=127.0.0.1&ports=%1&token=%2&browser=firefox").arg(two[0]).arg(TOKEN)
        << QList<quint16>{two[0]} << QString() << quint16(0);
    QTest::newRow("first port taken")
        << QString("hostnames=127.0.0.1&ports=%1,%2&token=%3").arg(two[0]).arg(two[1]).arg(TOKEN)
        << QList<quint16>{two[1]} << "[W] Volanie webSocketServer.listen zlyhalo: \"" << two[0];
}

void TestLauncher::acceptedLaunchUrl()
{
    QFETCH(QString, query);
    QFETCH(QList<quint16>, ports);
    QFETCH(QString, warning);
    QFETCH(quint16, taken);
    TestHome home;
    seedAgentHome();
    QLockFile lock(Utils::fileLock());
    pretendMainInstance(lock);
    PortHold hold(ports);
    if (!hold.held())
        QSKIP("a port of this case is taken");
    QTcpServer occupant;
    if (taken)
        QVERIFY(occupant.listen(QHostAddress::LocalHost, taken));

    QString url = launchUrl(query);
    if (QTest::currentDataTag() == QLatin1String("scheme in capitals"))
        url.replace(0, 14, "OBRENTA-KAVREL");
    ChildProcess launcher;
    launcher.setProcessEnvironment(offscreen());
    hold.release();
    launcher.start(kavrelPath(), {url});
    QVERIFY(launcher.waitForStarted());
    for (quint16 port : qAsConst(ports))
        QVERIFY2(launcher.waitForLog(QString("Pocuvam na: \"kavrel.localhost\" \"127.0.0.1\" %1 ").arg(port)),
                 qPrintable(launcher.errText()));
    QCOMPARE(launcher.errText().count("Pocuvam na:"), ports.size());
    if (!warning.isEmpty())
        QVERIFY2(launcher.errText().contains(warning), qPrintable(launcher.errText()));
    QVERIFY(!launcher.errText().contains("[W] Spustacia"));
    QVERIFY(!launcher.errText().contains("[W] Chyba"));

    QUrl expected(FAKE_STATE);
    expected.setHost("127.0.0.1");
    std::vector<std::unique_ptr<TestPeer>> pages;
    for (quint16 port : qAsConst(ports)) {
        pages.push_back(std::make_unique<TestPeer>(agentCa()));
        QCOMPARE(pages.back()->first(wssUrl("127.0.0.1", port, "/getUrl/" + TOKEN)),
                 redirectHello(expected.toString()));
    }
    for (auto &page : pages)
        page->socket.close();
    QVERIFY2(launcher.ended(), qPrintable(launcher.errText()));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
}

void TestLauncher::noListenerEndsLauncher()
{
    TestHome home;
    seedAgentHome();
    QLockFile lock(Utils::fileLock());
    pretendMainInstance(lock);
    // Held all along: the launcher's only port is taken.
    PortHold occupant(1);
    Xvfb x;
    QVERIFY(x.isRunning());

    ChildProcess launcher;
    launcher.setProcessEnvironment(x.environment());
    launcher.start(kavrelPath(),
                   {launchUrl(QString("hostnames=127.0.0.1&ports=%1&token=%2").arg(occupant.port()).arg(TOKEN))});
    QVERIFY(launcher.waitForStarted());
    const QStringList windows = x.windowsOf(launcher.processId());
    QVERIFY2(!windows.isEmpty(), qPrintable(launcher.errText()));
    QVERIFY(x.pressKey(windows.first(), "Return"));
    QVERIFY(launcher.ended());
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 255);
    const QString err = launcher.errText();
    const int warning = err.indexOf("[W] Volanie webSocketServer.listen zlyhalo: \"");
    QVERIFY2(warning >= 0, qPrintable(err));
    const QString critical = "[C] Nepodarilo sa spustiť server. Skontrolujte nastavenie brány firewall. (:0, )\n";
    QVERIFY2(err.indexOf(critical, warning) > warning, qPrintable(err));
    QVERIFY(!err.contains("Pocuvam"));
}

// Ports another launcher held a moment longer: the launcher waits for them
// and serves its page, with no box.
void TestLauncher::portsFreedWhileWaiting()
{
    TestHome home;
    seedAgentHome();
    QLockFile lock(Utils::fileLock());
    pretendMainInstance(lock);
    PortHold occupant(2);
    ChildProcess launcher;
    launcher.setProcessEnvironment(offscreen());
    launcher.start(kavrelPath(),
                   {launchUrl(QString("hostnames=127.0.0.1&ports=%1,%2&token=%3")
                                  .arg(occupant.port(0))
                                  .arg(occupant.port(1))
                                  .arg(TOKEN))});
    QVERIFY2(launcher.waitForLog("Vsetky porty su obsadene"), qPrintable(launcher.errText()));
    occupant.release();

    // It serves on whichever ports it could take once they came free; a
    // page that has its address leaves, which ends it.
    auto visit = [&](quint16 port) {
        TestPeer page(agentCa());
        page.socket.open(wssUrl("127.0.0.1", port, "/getUrl/" + TOKEN));
        const bool answered = QTest::qWaitFor([&]() { return !page.texts.isEmpty() || !page.disconnected.isEmpty(); },
                                              10000);
        return answered ? page.text(0) : QString();
    };
    QString hello;
    int tries = 0;
    QVERIFY(QTest::qWaitFor([&]() { return !(hello = visit(occupant.port(tries++ % 2))).isEmpty(); }, 20000));
    QCOMPARE(hello, redirectHello(QString(FAKE_STATE).replace("kavrel.localhost", "127.0.0.1")));
    visit(occupant.port(tries % 2));
    QVERIFY2(launcher.ended(), qPrintable(launcher.errText()));
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(launcher.errText().count("Volanie webSocketServer.listen zlyhalo"), 2);
    QVERIFY(!launcher.errText().contains("[C]"));
}

void TestLauncher::refusedRequests()
{
    TestHome home;
    seedAgentHome();
    QLockFile lock(Utils::fileLock());
    pretendMainInstance(lock);
    ChildProcess launcher;
    const quint16 port = startOnHeldPorts(launcher, offscreen(), "kavrel.localhost", 1).first();
    QVERIFY(launcher.waitForStarted());
    QVERIFY2(launcher.waitForLog("Pocuvam na:"), qPrintable(launcher.errText()));

    const QList<QPair<QString, QString>> refusals{
        {"/getURL/" + TOKEN, "Neznama operacia"},
        {"/geturl/" + TOKEN, "Neznama operacia"},
        {"/master/" + TOKEN, "Neznama operacia"},
        {"/getUrl/" + TOKEN.toUpper(), "Pristup zamietnuty"},
        {"/getUrl/fake-token", "Pristup zamietnuty"},
        {"/getUrl", "URL ma neplatny tvar"},
        {"/", "URL ma neplatny tvar"},
        {"/getUrl/" + TOKEN + "/more", "URL ma neplatny tvar"},
    };
    for (const auto &refusal : refusals) {
        TestPeer page(agentCa(), proxy());
        page.socket.open(wssUrl("kavrel.localhost", port, refusal.first));
        QTRY_COMPARE_WITH_TIMEOUT(page.disconnected.count(), 1, 20000);
        QCOMPARE(int(page.socket.closeCode()), 1008);
        QCOMPARE(page.socket.closeReason(), refusal.second);
        QVERIFY(page.texts.isEmpty());
        QVERIFY(page.sslErrors.isEmpty());
    }
    QCOMPARE(launcher.state(), QProcess::Running);

    // Empty segments do not count; the page is still served on the same listener.
    TestPeer page(agentCa(), proxy());
    QUrl expected(FAKE_STATE);
    QCOMPARE(page.first(wssUrl("kavrel.localhost", port, "/getUrl//" + TOKEN + "/")),
             redirectHello(expected.toString()));
    // Whatever the page says afterwards goes unanswered.
    page.socket.sendTextMessage("{}");
    page.socket.close();
    QVERIFY2(launcher.ended(), qPrintable(launcher.errText()));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(page.received().size(), 1);
}

void TestLauncher::externalAppAnswer()
{
    TestHome home;
    seedAgentHome();
    ChildProcess main;
    MainInstances mains;
    QUrl stateUrl;
    startMainInstance(main, mains, &stateUrl);
    if (QTest::currentTestFailed())
        return;
    QUrl byAddress = stateUrl;
    byAddress.setHost("127.0.0.1");
    const QByteArray answer = QByteArray("0") + '\0' + byAddress.toString().toUtf8() + '\0'
        + Utils::fileCertificateCa().toUtf8();

    ChildResult r = runKavrel({"-l"}, offscreen(), 20000);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, answer);

    // The first of a launch URL and -l wins.
    PortHold hold(1);
    const quint16 port = hold.port();
    const QString url = launchUrl(QString("hostnames=127.0.0.1&ports=%1&token=%2").arg(port).arg(TOKEN));
    r = runKavrel({"-l", url}, offscreen(), 20000);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, answer);
    QVERIFY(!r.err.contains("Pocuvam"));

    ChildProcess launcher;
    launcher.setProcessEnvironment(offscreen());
    hold.release();
    launcher.start(kavrelPath(), {url, "-l"});
    QVERIFY(launcher.waitForStarted());
    QVERIFY2(launcher.waitForLog("Pocuvam na:"), qPrintable(launcher.errText()));
    TestPeer page(agentCa());
    QCOMPARE(page.first(wssUrl("127.0.0.1", port, "/getUrl/" + TOKEN)), redirectHello(byAddress.toString()));
    page.socket.close();
    QVERIFY(launcher.ended());
    QCOMPARE(launcher.exitCode(), 0);
    QVERIFY(launcher.readAllStandardOutput().isEmpty());
    QCOMPARE(main.state(), QProcess::Running);
}

void TestLauncher::externalAppStartsMainInstance()
{
    TestHome home;
    seedAgentHome();
    MainInstances mains;
    QTemporaryDir dir;
    const QString errFile = dir.path() + "/err";
    // Both output streams go through pipes; the shell ends only when every
    // holder of them has closed them, the started main instance included.
    QProcess shell;
    shell.setProcessEnvironment(withJavaws(offscreen()));
    shell.start("sh", {"-c", "{ \"$1\" -l 2>&1 1>&3 3>&- | cat > \"$2\"; } 3>&1 | cat", "sh", kavrelPath(), errFile});
    QVERIFY(shell.waitForStarted());
    const bool finished = shell.waitForFinished(30000);
    mains.remember();
    QVERIFY2(finished, "the launcher's output never ended");
    QCOMPARE(shell.exitCode(), 0);

    const qint64 pid = mains.remember();
    QVERIFY(pid > 0);
    QVERIFY(isRunning(pid));
    QUrl stateUrl(QString::fromUtf8(readAll(Utils::fileState()).trimmed()));
    stateUrl.setHost("127.0.0.1");
    QCOMPARE(shell.readAllStandardOutput(),
             QByteArray("0") + '\0' + stateUrl.toString().toUtf8() + '\0' + Utils::fileCertificateCa().toUtf8());
    QVERIFY(readAll(errFile).contains("Startujem v rezime launcher"));
    for (int fd = 0; fd <= 2; ++fd)
        QCOMPARE(QFileInfo(QString("/proc/%1/fd/%2").arg(pid).arg(fd)).symLinkTarget(), QString("/dev/null"));
}

void TestLauncher::externalAppMainInstanceGone()
{
    QVERIFY(goneHome);
    ChildProcess &launcher = goneLauncher;
    QVERIFY(launcher.ended(30000));
    // Twenty polls of half a second before the lock is looked at.
    QVERIFY2(goneTimer.elapsed() >= 9500, qPrintable(QString::number(goneTimer.elapsed())));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(launcher.readAllStandardOutput(), GONE);
    // Nobody was started: the lock was held when the launcher looked.
    QVERIFY(!QFileInfo::exists(goneLock));
}

void TestLauncher::staleStateFileKeepsWaiting()
{
    TestHome home;
    seedAgentHome();
    QLockFile lock(Utils::fileLock());
    pretendMainInstance(lock, "wss://kavrel.localhost:50001/master/old");
    {
        QFile state(Utils::fileState());
        QVERIFY(state.open(QIODevice::ReadWrite));
        QVERIFY(state.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
    }
    ChildProcess launcher;
    launcher.setProcessEnvironment(offscreen());
    launcher.start(kavrelPath(), {"-l"});
    QVERIFY(launcher.waitForStarted());
    QVERIFY(launcher.waitForLog("Startujem v rezime launcher"));
    // Two of its polls at least.
    QVERIFY(!launcher.waitForFinished(1200));
    QVERIFY(launcher.readAllStandardOutput().isEmpty());

    QVERIFY(writeFile(Utils::fileState(), "wss://kavrel.localhost:50002/master/new\n"));
    QVERIFY(launcher.ended());
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(launcher.readAllStandardOutput(),
             QByteArray("0") + '\0' + "wss://127.0.0.1:50002/master/new" + '\0' + Utils::fileCertificateCa().toUtf8());
}

void TestLauncher::alreadyRunningBox()
{
    TestHome home;
    seedAgentHome();
    QLockFile lock(Utils::fileLock());
    pretendMainInstance(lock);
    Xvfb x;
    QVERIFY(x.isRunning());
    ChildProcess launcher;
    launcher.setProcessEnvironment(x.environment());
    launcher.start(kavrelPath(), QStringList());
    QVERIFY(launcher.waitForStarted());
    const QStringList windows = x.windowsOf(launcher.processId());
    QVERIFY2(!windows.isEmpty(), qPrintable(launcher.errText()));
    QCOMPARE(x.windowName(windows.first()), QString("Kavrel"));
    QVERIFY(!launcher.waitForFinished(300));
    x.screenshot("launcher-already-running");
    QVERIFY(x.pressKey(windows.first(), "Return"));
    QVERIFY(launcher.ended());
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
    QVERIFY(launcher.errText().contains("[I] Startujem v rezime launcher (:0, )\n"));
}

// The listeners live by one timer of two minutes, started with them; when it
// runs out they close, a page still connected or not, and with them the
// launcher's event loop ends. tst_launcherlifetime waits the real two minutes.
void TestLauncher::lifetimeClosesListeners()
{
    TestHome home;
    seedAgentHome();
    QLockFile lock(Utils::fileLock());
    pretendMainInstance(lock);
    PortHold hold(2);
    const QList<quint16> ports = hold.ports();
    hold.release();
    RedirectServer redirect(
        launchUrl(QString("hostnames=127.0.0.1&ports=%1,%2&token=%3").arg(ports[0]).arg(ports[1]).arg(TOKEN)), nullptr);
    for (quint16 port : ports)
        QVERIFY(listening(port));
    TestPeer page(agentCa());
    QVERIFY(!page.first(wssUrl("127.0.0.1", ports[0], "/getUrl/" + TOKEN)).isEmpty());

    QTimer *lifetime = redirect.findChild<QTimer *>("lifetime");
    QVERIFY(lifetime);
    QVERIFY(lifetime->isActive());
    QVERIFY(lifetime->isSingleShot());
    QCOMPARE(lifetime->interval(), 120000);
    QCOMPARE(lifetime->timerType(), Qt::PreciseTimer);

    // The redirect server asks the running loop to exit: run the
    // application's, as the launcher does. Outside of it the exit would cut
    // short every later wait of this process.
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, []() { QCoreApplication::exit(1); });
    guard.start(20000);
    lifetime->start(0);
    QCOMPARE(QCoreApplication::exec(), 0);
    for (quint16 port : ports)
        QVERIFY(!listening(port));
}

QTEST_MAIN(TestLauncher)
#include "tst_launcher.moc"
