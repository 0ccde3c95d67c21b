#include "applock.h"
#include "childprocess.h"
#include "loopbackproxy.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

using namespace TestSupport;

static const QRegularExpression STATE_LINE(QString("^wss://kavrel\\.localhost:(\\d+)/master/") + UUID_PATTERN + "\n$");
// Certificates are made at the first start; generous for a loaded machine.
static const int START_MS = 60000;

static QProcessEnvironment agentEnvironment(const QString &path, const Xvfb *display = nullptr)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", path);
    if (display)
        return display->environment(env);
    return offscreen(env);
}

static void startAgent(QProcess &agent, const QProcessEnvironment &env, const QString &name)
{
    agent.setProcessEnvironment(env);
    agent.setStandardOutputFile(QProcess::nullDevice());
    agent.setStandardErrorFile(artifactsDir() + "/mainsingleton-" + name + ".err");
    agent.start(kavrelPath(), {"-s"});
    QVERIFY(agent.waitForStarted(10000));
}

static bool stateWritten()
{
    return STATE_LINE.match(QString::fromUtf8(readAll(Utils::fileState()))).hasMatch();
}

// Opens the URL of the state file and expects the greeting.
static void greeted(TestPeer &page)
{
    page.socket.open(QUrl(QString::fromUtf8(readAll(Utils::fileState())).trimmed()));
    QTRY_COMPARE_WITH_TIMEOUT(page.texts.count(), 1, 20000);
    QCOMPARE(page.text(0), MAIN_HELLO);
}

// Greets the page and has it launch the fake javaws, which comes back as the
// slave of the page's session and reports what it saw; that report.
static void launchedReport(TestPeer &page, QJsonObject *report)
{
    greeted(page);
    if (QTest::currentTestFailed())
        return;
    page.socket.sendTextMessage(
        R"({"id":1,"jsonrpc":"2.0","method":"kavrel.launch","params":{"url":"http://example.invalid/a.jnlp?action=echo"}})");
    QTRY_VERIFY_WITH_TIMEOUT(page.texts.count() >= 2, 30000);
    *report = QJsonDocument::fromJson(page.text(1).toUtf8()).object();
    QCOMPARE(report->value("method").toString(), QString("test.report"));
}

static void endsWith(QProcess &agent, int signal, int status)
{
    QCOMPARE(TestSupport::signalProcess(agent.processId(), signal), 0);
    QTRY_COMPARE_WITH_TIMEOUT(agent.state(), QProcess::NotRunning, 20000);
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), status);
}

class TestMainSingleton : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void servesUntilSignalled_data();
    void servesUntilSignalled();
    void twoStartedAtOnce();
    void killedInstanceDoesNotBlock();
    void briefLockHolderDoesNotBlock();
    void missingJavawsWarns();
    void missingWhichWarnsOfNothing();
    void stateFileInTheWay_data();
    void stateFileInTheWay();
    void launchedApplicationHoldsNoAgentDescriptor();

private:
    LoopbackProxy proxy;
};

void TestMainSingleton::initTestCase()
{
    qRegisterMetaType<QList<QSslError>>();
    QVERIFY(proxy.isListening());
    QVERIFY(QFileInfo(helperPath("javaws")).isExecutable());
}

void TestMainSingleton::servesUntilSignalled_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestMainSingleton::servesUntilSignalled()
{
    QFETCH(int, signal);
    TestHome home;
    seedAgentHome();
    QProcess agent;
    startAgent(agent, agentEnvironment(pathWithHelpers()), QTest::currentDataTag());
    QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
    QCOMPARE(fileMode(Utils::fileState()), 0600);
    QCOMPARE(lockOwner(), agent.processId());
    // A launcher's look at the lock leaves it with its owner.
    QVERIFY(isSingletonRunning());
    {
        AppLock probe(0);
        QVERIFY(!probe.isLocked());
        qint64 pid = 0;
        QString hostname, appname;
        QVERIFY(probe.getLockInfo(&pid, &hostname, &appname));
        QCOMPARE(pid, agent.processId());
    }
    QCOMPARE(lockOwner(), agent.processId());

    // The page's application echoes what it gets.
    TestPeer page(agentCa(), proxy.proxy());
    QJsonObject report;
    launchedReport(page, &report);
    if (QTest::currentTestFailed())
        return;
    const QString slaveUrl = report.value("params").toObject().value("env").toObject().value("KAVREL_URL").toString();
    const QString port = STATE_LINE.match(QString::fromUtf8(readAll(Utils::fileState()))).captured(1);
    QVERIFY2(slaveUrl.startsWith("wss://kavrel.localhost:" + port + "/slave/"), qPrintable(slaveUrl));
    page.socket.sendTextMessage("ozvena");
    QTRY_COMPARE_WITH_TIMEOUT(page.text(page.texts.count() - 1), QString("ozvena"), 20000);

    endsWith(agent, signal, 0);
    QVERIFY(!QFileInfo::exists(Utils::fileLock()));
    QVERIFY(!QFileInfo::exists(Utils::fileState()));
    QVERIFY(!isSingletonRunning());
    QTRY_COMPARE_WITH_TIMEOUT(page.disconnected.count(), 1, 20000);
}

void TestMainSingleton::twoStartedAtOnce()
{
    Xvfb display;
    QVERIFY(display.isRunning());
    TestHome home;
    seedAgentHome();
    const QProcessEnvironment env = agentEnvironment(pathWithHelpers(), &display);
    QProcess first, second;
    startAgent(first, env, "first");
    startAgent(second, env, "second");

    QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
    const qint64 owner = lockOwner();
    QVERIFY(owner == first.processId() || owner == second.processId());
    QProcess &runner = owner == first.processId() ? first : second;
    QProcess &refused = owner == first.processId() ? second : first;

    const QStringList windows = display.windowsOf(refused.processId());
    QCOMPARE(windows.size(), 1);
    QCOMPARE(display.windowName(windows.first()), QString("Kavrel"));
    display.screenshot("mainsingleton-already-running");
    QCOMPARE(refused.state(), QProcess::Running);
    QVERIFY(display.pressKey(windows.first(), "Return"));
    QTRY_COMPARE_WITH_TIMEOUT(refused.state(), QProcess::NotRunning, 20000);
    QCOMPARE(refused.exitStatus(), QProcess::NormalExit);
    QCOMPARE(refused.exitCode(), 1);

    // The refused one left the running one's files alone.
    QVERIFY(stateWritten());
    QCOMPARE(lockOwner(), runner.processId());
    TestPeer page(agentCa(), proxy.proxy());
    greeted(page);
    endsWith(runner, SIGTERM, 0);
}

void TestMainSingleton::killedInstanceDoesNotBlock()
{
    TestHome home;
    seedAgentHome();
    const QProcessEnvironment env = agentEnvironment(pathWithHelpers());
    QProcess killed;
    startAgent(killed, env, "killed");
    QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
    killed.kill();
    QVERIFY(killed.waitForFinished(10000));
    QVERIFY(QFileInfo::exists(Utils::fileLock()));
    // Stands for what the killed one published; the next start replaces it.
    QVERIFY(writeFile(Utils::fileState(), "wss://kavrel.localhost:1/master/stale\n"));

    QProcess next;
    startAgent(next, env, "after-kill");
    QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
    QCOMPARE(lockOwner(), next.processId());
    TestPeer page(agentCa(), proxy.proxy());
    greeted(page);
    endsWith(next, SIGTERM, 0);
    QVERIFY(!QFileInfo::exists(Utils::fileLock()));
}

// A launcher that tests the lock just as the main instance starts holds it
// for a moment; the main instance waits for it instead of giving up. The
// holder lets go 300 ms after the instance said it starts, by its own clock.
void TestMainSingleton::briefLockHolderDoesNotBlock()
{
    TestHome home;
    seedAgentHome();
    const QString log = artifactsDir() + "/mainsingleton-brief-holder.err";
    // What an earlier run left there would set the holder's clock going at once.
    QVERIFY(!QFileInfo::exists(log) || QFile::remove(log));
    ChildProcess holder;
    holder.start(helperPath("lockholder"), {"300", log, "[I] Startujem v rezime hlavnej instancie"});
    QByteArray said;
    QVERIFY2(QTest::qWaitFor(
                 [&]() {
                     said += holder.readAllStandardOutput();
                     return said.contains('\n') || holder.state() == QProcess::NotRunning;
                 },
                 20000),
             qPrintable(holder.errText()));
    QCOMPARE(said, QByteArray("held\n"));
    QCOMPARE(lockOwner(), holder.processId());

    QProcess agent;
    startAgent(agent, agentEnvironment(pathWithHelpers()), "brief-holder");
    QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
    QVERIFY2(holder.ended(), qPrintable(holder.errText()));
    QCOMPARE(holder.exitStatus(), QProcess::NormalExit);
    QCOMPARE(holder.exitCode(), 0);
    QCOMPARE(said + holder.readAllStandardOutput(), QByteArray("held\nreleased\n"));
    QCOMPARE(lockOwner(), agent.processId());
    endsWith(agent, SIGTERM, 0);
}

void TestMainSingleton::missingJavawsWarns()
{
    Xvfb display;
    QVERIFY(display.isRunning());
    TestHome home;
    seedAgentHome();
    // A search path with the tools the start needs, but no javaws.
    QTemporaryDir bare;
    for (const QString tool : {"which", "update-desktop-database"})
        QVERIFY(QFile::link(QStandardPaths::findExecutable(tool), bare.path() + "/" + tool));
    QProcess agent;
    startAgent(agent, agentEnvironment(bare.path(), &display), "no-javaws");

    const QStringList windows = display.dialogsOf(agent.processId(), START_MS);
    QCOMPARE(windows.size(), 1);
    display.screenshot("mainsingleton-javaws-missing");
    // The server waits for the box to be answered.
    QVERIFY(!QFileInfo::exists(Utils::fileState()));
    QVERIFY(display.pressKey(windows.first(), "Return"));
    QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
    TestPeer page(agentCa(), proxy.proxy());
    greeted(page);
    endsWith(agent, SIGTERM, 0);
}

// Without which nothing can be said about javaws, so no box holds up the
// start: offscreen, a box would never be answered.
void TestMainSingleton::missingWhichWarnsOfNothing()
{
    TestHome home;
    seedAgentHome();
    // Only the tool whose absence the agent would report in a box of its own.
    QTemporaryDir bare;
    QVERIFY(QFile::link(QStandardPaths::findExecutable("update-desktop-database"),
                        bare.path() + "/update-desktop-database"));
    QProcess agent;
    startAgent(agent, agentEnvironment(bare.path()), "no-which");
    QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
    endsWith(agent, SIGTERM, 0);
}

void TestMainSingleton::stateFileInTheWay_data()
{
    QTest::addColumn<bool>("temporary");
    QTest::addColumn<QString>("message");
    QTest::newRow("state file cannot be deleted") << false << "Nepodarilo sa vymazať informácie o stave.";
    QTest::newRow("something at the old temporary name") << true << QString();
}

// A directory in the place of the state file, which the instance must
// remove, ends it with the error box. One at the temporary name of older
// versions is in nobody's way: the state is written under a name of its own.
void TestMainSingleton::stateFileInTheWay()
{
    QFETCH(bool, temporary);
    QFETCH(QString, message);
    Xvfb display;
    QVERIFY(display.isRunning());
    TestHome home;
    seedAgentHome();
    const QString blocked = temporary ? Utils::fileStateTmp() : Utils::fileState();
    QVERIFY(writeFile(blocked + "/keep", "x"));

    QProcess agent;
    const QString name = temporary ? "blocked-temporary" : "blocked-state";
    startAgent(agent, agentEnvironment(pathWithHelpers(), &display), name);
    if (temporary) {
        QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
        QCOMPARE(readAll(blocked + "/keep"), QByteArray("x"));
        QCOMPARE(TestSupport::signalProcess(agent.processId(), SIGTERM), 0);
        QVERIFY(agent.waitForFinished(20000));
        QCOMPARE(agent.exitCode(), 0);
        return;
    }
    const QStringList windows = display.dialogsOf(agent.processId(), START_MS);
    QCOMPARE(windows.size(), 1);
    display.screenshot("mainsingleton-" + name);
    QCOMPARE(agent.state(), QProcess::Running);
    QVERIFY(display.pressKey(windows.first(), "Return"));
    QTRY_COMPARE_WITH_TIMEOUT(agent.state(), QProcess::NotRunning, 20000);
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), 255);
    const QString err = QString::fromUtf8(readAll(artifactsDir() + "/mainsingleton-" + name + ".err"));
    QVERIFY2(err.endsWith("[C] " + message + " (:0, )\n"), qPrintable(err));
    QVERIFY(!QFileInfo(Utils::fileState()).isFile());
}

static QStringList descriptors(const QJsonObject &report)
{
    return report.value("fds").toVariant().toStringList();
}

// Any of them could end the agent by writing to its signal pair.
void TestMainSingleton::launchedApplicationHoldsNoAgentDescriptor()
{
    TestHome home;
    seedAgentHome();
    // What a program started from here inherits without the agent in between.
    const QString direct = home.path() + "/direct.json";
    QProcessEnvironment env = agentEnvironment(pathWithHelpers());
    env.insert("KAVREL_TEST_FDS", "1");
    QProcessEnvironment directEnv = env;
    directEnv.insert("KAVREL_TEST_REPORT", direct);
    QCOMPARE(run(helperPath("javaws"), {"http://example.invalid/a.jnlp?action=exit&code=0"}, directEnv).exitCode, 0);
    const QStringList inherited = descriptors(QJsonDocument::fromJson(readAll(direct)).object());

    QProcess agent;
    startAgent(agent, env, "descriptors");
    QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
    // Everything the agent opened itself closes on exec.
    const QString proc = QString("/proc/%1/").arg(agent.processId());
    QStringList inheritable;
    for (const QString &fd : QDir(proc + "fdinfo").entryList(QDir::Files)) {
        const QString info = QString::fromLatin1(readAll(proc + "fdinfo/" + fd));
        const uint flags = info.section("flags:", 1).section('\n', 0, 0).trimmed().toUInt(nullptr, 8);
        char target[512];
        const ssize_t n = ::readlink(QFile::encodeName(proc + "fd/" + fd).constData(), target, sizeof(target));
        const QString entry = fd + " " + QString::fromLocal8Bit(target, int(qMax<ssize_t>(n, 0)));
        if (fd.toInt() > 2 && !(flags & O_CLOEXEC) && !inherited.contains(entry))
            inheritable << entry;
    }
    QVERIFY2(inheritable.isEmpty(), qPrintable(inheritable.join(", ")));

    TestPeer page(agentCa(), proxy.proxy());
    QJsonObject report;
    launchedReport(page, &report);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(report.value("params").toObject().contains("fds"));
    QCOMPARE(descriptors(report.value("params").toObject()), inherited);
    endsWith(agent, SIGTERM, 0);
}

QTEST_MAIN(TestMainSingleton)
#include "tst_mainsingleton.moc"
