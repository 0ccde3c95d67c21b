#include "childprocess.h"
#include "loadsupport.h"
#include "server.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <unistd.h>

using namespace TestSupport;
using namespace LoadSupport;

static const QString HOST = "kavrel.localhost";
static const QString TOKEN = "5d0c7e1a-2b3f-4c8d-9e6a-7f1b2c3d4e5f";

class TestLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sessionsUnderLoad();
    void refusedConnectionsLeaveNothing();
    void killedInstanceRestarts();
    void readOnlyConfiguration();
    void badInput_data();
    void badInput();

private:
    void startBadInputAgent();
    void pageStopsReading(QString *got);

    std::unique_ptr<TestHome> home, agentHome;
    QSslCertificate ca, agentCaCertificate;
    std::unique_ptr<ChildProcess> agent;
    QUrl agentUrl;
    // A session that must keep working whatever the bad input does.
    std::unique_ptr<TestPeer> other;
    // What was measured, printed at the end.
    QStringList results;
};

void TestLoad::initTestCase()
{
    qRegisterMetaType<QList<QSslError>>();
    QVERIFY(raiseDescriptorLimit() >= 4096);
    home.reset(new TestHome);
    seedAgentHome();
    ca = agentCa();
    QVERIFY(!ca.isNull());
}

void TestLoad::cleanupTestCase()
{
    if (agent) {
        other.reset();
        TestSupport::signalProcess(agent->processId(), SIGTERM);
        agent->ended();
        writeFile(artifactsDir() + "/load-bad-input.err", agent->err);
    }
    agentHome.reset();
    for (const QString &line : qAsConst(results))
        qInfo().noquote() << line;
}

// Pages and applications of 500 sessions talk at once while some of them go
// at random moments: nothing may cross sessions or arrive out of order, and
// the peer of each end that went must be closed.
void TestLoad::sessionsUnderLoad()
{
    const int SESSIONS = 500, MESSAGES = 40;
    QElapsedTimer timer;
    timer.start();
    Server server(TOKEN, nullptr);
    QVERIFY(!server.listen(HOST, QHostAddress::LocalHost, 0).isEmpty());
    RecordingEnds masters, slaves;
    for (int i = 0; i < SESSIONS; ++i) {
        masters.push_back(std::make_unique<RecordingEnd>(ca));
        slaves.push_back(std::make_unique<RecordingEnd>(ca));
    }
    QVERIFY(openAll(masters, [&](int) { return wssUrl("127.0.0.1", server.port(), "/master/" + TOKEN); }));
    // The server's end of a page's connection knows the session; both ends share the port number.
    QHash<quint16, QString> sessionByPort;
    for (QWebSocket *socket : server.findChildren<QWebSocket *>())
        sessionByPort.insert(socket->peerPort(), socket->property(PROPERTY_SESSION_ID).toString());
    QVERIFY(openAll(slaves, [&](int i) {
        return wssUrl("127.0.0.1", server.port(), "/slave/" + sessionByPort.value(masters[i]->socket.localPort()));
    }));

    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    // Every fifth session goes before message cutAt, by close or abort, of the page or the application.
    std::vector<int> cutAt(SESSIONS, -1), how(SESSIONS, 0);
    for (int i = 0; i < SESSIONS; ++i) {
        if (random.bounded(5) == 0) {
            cutAt[i] = int(random.bounded(MESSAGES));
            how[i] = int(random.bounded(4));
        }
    }
    for (int n = 0; n < MESSAGES; ++n) {
        for (int i = 0; i < SESSIONS; ++i) {
            if (cutAt[i] == n) {
                QWebSocket &leaving = (how[i] & 1 ? slaves : masters)[i]->socket;
                how[i] & 2 ? leaving.abort() : leaving.close();
            }
            if (cutAt[i] >= 0 && cutAt[i] <= n)
                continue;
            masters[i]->socket.sendTextMessage(QString("%1 m %2").arg(i).arg(n));
            slaves[i]->socket.sendTextMessage(QString("%1 s %2").arg(i).arg(n));
        }
        QCoreApplication::processEvents();
    }
    auto settled = [&]() {
        for (int i = 0; i < SESSIONS; ++i) {
            if (cutAt[i] < 0 ? masters[i]->got.size() <= MESSAGES || slaves[i]->got.size() <= MESSAGES
                             : !masters[i]->gone || !slaves[i]->gone)
                return false;
        }
        return true;
    };
    QVERIFY2(waitUntil(settled, 60000), qPrintable(QString("seed %1").arg(seed)));

    for (int i = 0; i < SESSIONS; ++i) {
        for (RecordingEnd *end : {masters[i].get(), slaves[i].get()}) {
            const QString from = end == masters[i].get() ? "s" : "m";
            QVERIFY(end->got.value(0).contains(R"("method":"hello")"));
            for (int k = 1; k < end->got.size(); ++k)
                QCOMPARE(end->got[k], QString("%1 %2 %3").arg(i).arg(from).arg(k - 1));
            QCOMPARE(end->got.size() - 1 == MESSAGES, cutAt[i] < 0);
            QCOMPARE(end->gone, cutAt[i] >= 0);
        }
        if (cutAt[i] >= 0)
            QCOMPARE(int((how[i] & 1 ? masters : slaves)[i]->socket.closeCode()), 1000);
    }
    masters.clear();
    slaves.clear();
    QTRY_VERIFY_WITH_TIMEOUT(server.findChildren<QWebSocket *>().isEmpty(), 30000);
    const int cut = SESSIONS - int(std::count(cutAt.cbegin(), cutAt.cend(), -1));
    results << QString("sessions: %1, %2 of them cut, %3 messages each way: %4 ms (seed %5)")
                   .arg(SESSIONS)
                   .arg(cut)
                   .arg(MESSAGES)
                   .arg(timer.elapsed())
                   .arg(seed);
}

// Refused and broken connections must leave no objects, descriptors or memory behind.
void TestLoad::refusedConnectionsLeaveNothing()
{
    Server server(TOKEN, nullptr);
    QVERIFY(!server.listen(HOST, QHostAddress::LocalHost, 0).isEmpty());
    const QStringList kinds{"wrong token", "unknown path", "garbage", "tls junk", "half-open"};
    const int objects = server.findChildren<QObject *>().size();
    const int descriptors = openDescriptors();
    auto released = [&]() { return waitUntil([&]() { return openDescriptors() == descriptors; }, 30000); };
    QElapsedTimer timer;
    timer.start();
    flood(server.port(), kinds, 2000, 32, 20000);
    QVERIFY(released());
    const qint64 rss = memoryKiB();
    const int warmed = server.findChildren<QObject *>().size();
    const QMap<QString, int> outcomes = flood(server.port(), kinds, 10000, 32, 20000);
    // No more than the listen backlog, held until the server's handshake timeout ends them.
    const QMap<QString, int> silent = flood(server.port(), {"silent"}, 40, 40, 20000);
    QVERIFY(released());
    // Refused connections go by deferred deletion.
    const bool empty = waitUntil([&]() { return server.findChildren<QObject *>().size() == objects; }, 5000);
    const int left = server.findChildren<QObject *>().size() - objects;
    const qint64 grown = memoryKiB() - rss;
    results << QString("refused: %1 | %2 | objects under the server +%3 after the warm-up of 2000, +%4 after all"
                       " | RSS +%5 KiB since the warm-up | %6 ms")
                   .arg(describe(outcomes), describe(silent))
                   .arg(warmed - objects)
                   .arg(left)
                   .arg(grown)
                   .arg(timer.elapsed());
    int total = 0;
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it) {
        QVERIFY2(!it.key().endsWith("not ended"), qPrintable(describe(outcomes)));
        total += it.value();
    }
    QCOMPARE(total, 10000);
    QVERIFY2(grown < 32 * 1024, qPrintable(QString("RSS grew by %1 KiB").arg(grown)));
    QVERIFY2(empty, qPrintable(QString("%1 objects left under the server").arg(left)));
}

// A main instance killed while a page and its application talk: the next one
// serves at the same address, and a launcher learns it.
void TestLoad::killedInstanceRestarts()
{
    TestHome caseHome;
    seedAgentHome();
    const QSslCertificate caseCa = agentCa();
    ChildProcess first;
    QVERIFY2(startMainInstance(first, offscreen()), qPrintable(first.errText()));
    const QByteArray line = readAll(Utils::fileState());
    auto page = launchedSession(caseCa, servedUrl());
    QVERIFY(page && echoes(*page, "pred"));
    QCOMPARE(TestSupport::signalProcess(first.processId(), SIGKILL), 0);
    QVERIFY(first.ended());
    QTRY_COMPARE_WITH_TIMEOUT(page->disconnected.count(), 1, 20000);

    ChildProcess second;
    QVERIFY2(startMainInstance(second, offscreen()), qPrintable(second.errText()));
    QCOMPARE(readAll(Utils::fileState()), line);
    const ChildResult launcher = runKavrel({"-l"}, offscreen(), 30000);
    QCOMPARE(launcher.exitCode, 0);
    QUrl expected = servedUrl();
    expected.setHost("127.0.0.1");
    QCOMPARE(launcher.out,
             QByteArray("0\0", 2) + expected.toString().toUtf8() + '\0' + Utils::fileCertificateCa().toUtf8());
    auto again = launchedSession(caseCa, expected);
    QVERIFY(again && echoes(*again, "po"));
    QCOMPARE(TestSupport::signalProcess(second.processId(), SIGTERM), 0);
    QVERIFY(second.ended());
    QCOMPARE(second.exitCode(), 0);
}

// A configuration directory that cannot be written: the agent must end with
// an error the user sees, and publish no state.
void TestLoad::readOnlyConfiguration()
{
    if (::geteuid() != 0)
        QSKIP("a read-only mount needs root");
    Xvfb display;
    QVERIFY(display.isRunning());
    TestHome caseHome;
    seedAgentHome();
    const QString dir = Utils::dirConfig();
    QCOMPARE(QProcess::execute("mount", {"--bind", dir, dir}), 0);
    struct Unmount
    {
        QString dir;
        ~Unmount() { QProcess::execute("umount", {dir}); }
    } unmount{dir};
    QCOMPARE(QProcess::execute("mount", {"-o", "remount,bind,ro", dir}), 0);
    QVERIFY(!QFile(dir + "/probe").open(QIODevice::WriteOnly));

    ChildProcess mainInstance;
    QProcessEnvironment env = display.environment();
    env.insert("PATH", pathWithHelpers());
    mainInstance.setProcessEnvironment(env);
    mainInstance.start(kavrelPath(), {"-s"});
    // Offscreen the box would wait for ever; here it is answered as a user would.
    const QStringList windows = display.dialogsOf(mainInstance.processId(), 60000);
    QVERIFY2(windows.size() == 1, qPrintable(mainInstance.errText()));
    display.screenshot("load-read-only-configuration");
    QVERIFY(display.pressKey(windows.first(), "Return"));
    QVERIFY(mainInstance.ended());
    results << QString("read-only configuration: exit %1, last log line: %2")
                   .arg(mainInstance.exitCode())
                   .arg(mainInstance.errText().trimmed().section('\n', -1));
    QVERIFY(!QFileInfo::exists(Utils::fileState()));
    QVERIFY(!QFileInfo::exists(Utils::fileStateTmp()));
    QCOMPARE(mainInstance.exitStatus(), QProcess::NormalExit);
    QCOMPARE(mainInstance.exitCode(), 255);
    QVERIFY2(mainInstance.errText().contains("\n[C] "), qPrintable(mainInstance.errText()));
}

void TestLoad::badInput_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind :
         {"invalid UTF-8 text", "64 MiB text frame", "100 MiB text frame", "100 MiB announced, 1 KiB sent",
          "64 MiB binary frame", "small binary frame", "100000 nested arrays", "/master%2F<token>",
          "/master/<token>%2Fx", "wrong token 2000 times", "page stops reading 5 s"})
        QTest::newRow(kind) << QString(kind);
}

void TestLoad::startBadInputAgent()
{
    if (!agentHome) {
        agentHome.reset(new TestHome);
        seedAgentHome();
        agentCaCertificate = agentCa();
    }
    agent.reset(new ChildProcess);
    QVERIFY2(startMainInstance(*agent, offscreen()), qPrintable(agent->errText()));
    agentUrl = servedUrl();
    other = launchedSession(agentCaCertificate, agentUrl);
    QVERIFY(other);
}

// Each tried on the running agent, what it gets recorded; afterwards the
// agent must still run, keep the other session going and greet a new page.
void TestLoad::badInput()
{
    QFETCH(QString, kind);
    if (!agent || agent->state() != QProcess::Running)
        startBadInputAgent();
    QVERIFY(other);
    const qint64 pid = agent->processId();
    const qint64 before = memoryKiB(pid), peak = memoryKiB(pid, "VmHWM");
    const quint16 port = quint16(agentUrl.port());
    QElapsedTimer timer;
    timer.start();
    QString got;
    RawWebSocket raw(port);
    if (kind.startsWith("/master")) {
        const QByteArray path = kind.toUtf8().replace("<token>", agentUrl.path().section('/', 2).toUtf8());
        if (!raw.open(path))
            got = "no upgrade: " + raw.response.left(raw.response.indexOf('\r'));
        else
            got = raw.waitFor(1) ? "admitted: " + QString::fromUtf8(raw.frames.first().second) : raw.outcome();
    } else if (kind.startsWith("wrong token")) {
        got = describe(flood(port, {"wrong token"}, 2000, 32, 20000));
    } else if (kind.startsWith("page stops")) {
        pageStopsReading(&got);
    } else {
        QVERIFY(raw.open(agentUrl.path().toUtf8()) && raw.waitFor(1));
        if (kind.startsWith("invalid"))
            raw.send(1, QByteArray("{\"method\":\"\xff\xfe\xc0\xaf\"}"));
        else if (kind.contains("announced"))
            raw.send(1, QByteArray(1024, 'a'), 100 << 20);
        else if (kind.contains("MiB"))
            raw.send(kind.contains("text") ? 1 : 2, QByteArray(kind.section(' ', 0, 0).toInt() << 20, 'a'));
        else if (kind.startsWith("small"))
            raw.send(2, "binary");
        else
            raw.send(1, QByteArray(100000, '['));
        got = raw.outcome(120000);
    }
    const qint64 ms = timer.elapsed();
    QVERIFY2(agent->state() == QProcess::Running,
             qPrintable(QString("exit %1: %2").arg(agent->exitCode()).arg(agent->errText().right(2000))));
    QVERIFY2(echoes(*other, "after " + kind), qPrintable(got));
    TestPeer fresh(agentCaCertificate);
    QVERIFY(!fresh.first(wssUrl("127.0.0.1", port, agentUrl.path())).isEmpty());
    // One arg() call: the kinds hold "%2F".
    results << QString("bad input | %1 | %2 | RSS %3 -> %4 KiB, peak +%5 KiB | %6 ms")
                   .arg(kind, got, QString::number(before), QString::number(memoryKiB(pid)),
                        QString::number(memoryKiB(pid, "VmHWM") - peak), QString::number(ms));
}

// The page stops reading while its application keeps sending, for five seconds.
void TestLoad::pageStopsReading(QString *got)
{
    const qint64 pid = agent->processId();
    RawWebSocket page(quint16(agentUrl.port()));
    QVERIFY(page.open(agentUrl.path().toUtf8()));
    page.send(1, R"({"method":"kavrel.launch","params":{"url":"http://example.invalid/a.jnlp?action=echo"}})");
    QJsonObject report;
    QVERIFY(waitUntil(
        [&]() {
            for (const auto &frame : qAsConst(page.frames))
                if (frame.second.contains("test.report"))
                    report = QJsonDocument::fromJson(frame.second).object();
            return !report.isEmpty();
        },
        30000));
    // The application is ours: it joins the session the fake javaws reported.
    const QUrl slaveUrl(report.value("params").toObject().value("env").toObject().value("KAVREL_URL").toString());
    RawWebSocket application(quint16(agentUrl.port()));
    QVERIFY(application.open(slaveUrl.path().toUtf8()) && application.waitFor(1));
    page.stopReading();

    const qint64 before = memoryKiB(pid);
    const QByteArray chunk(1 << 20, 'x');
    // What TLS has not handed to the kernel yet counts too.
    auto queued = [&]() { return application.socket.bytesToWrite() + application.socket.encryptedBytesToWrite(); };
    auto open = [&]() {
        return application.closeCode < 0 && application.socket.state() == QAbstractSocket::ConnectedState;
    };
    qint64 sent = 0, highest = before;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000 && open()) {
        if (queued() < (8 << 20)) {
            application.send(1, chunk);
            sent += chunk.size();
        } else if (!waitUntil([&]() { return queued() < (8 << 20) || !open(); },
                              int(qMax<qint64>(1, 5000 - timer.elapsed())))) {
            break;
        }
        highest = qMax(highest, memoryKiB(pid));
    }
    *got = QString("application queued %1 MiB in %2 ms (%3 MiB still with us), agent RSS +%4 KiB at most;"
                   " application %5, page %6")
               .arg(sent >> 20)
               .arg(timer.elapsed())
               .arg(queued() >> 20)
               .arg(highest - before)
               .arg(open() ? QString("open") : "ended: " + application.outcome(0))
               .arg(page.socket.state() == QAbstractSocket::ConnectedState ? "connected" : "dropped");
    page.socket.abort();
    QVERIFY(waitUntil([&]() { return !open(); }, 30000));
}

QTEST_MAIN(TestLoad)
#include "tst_load.moc"
