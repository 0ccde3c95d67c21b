// The configuration directory on a disk that is full or read-only: the agent
// tells what failed and leaves no cut file behind that a later start trips on.
#include "certificategenerator.h"
#include "childprocess.h"
#include "loopbackproxy.h"
#include "testpeer.h"
#include "testsupport.h"
#include "tinydisk.h"
#include "utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <csignal>
#include <unistd.h>

using namespace TestSupport;

static const int START_MS = 60000;

static QProcessEnvironment agentEnvironment(const Xvfb *display = nullptr)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", pathWithHelpers());
    return display ? display->environment(env) : offscreen(env);
}

static void startAgent(ChildProcess &agent, const QProcessEnvironment &env)
{
    agent.setProcessEnvironment(env);
    agent.start(kavrelPath(), {"-s"});
    QVERIFY(agent.waitForStarted(10000));
}

static bool stateWritten()
{
    static const QRegularExpression line("^wss://kavrel\\.localhost:\\d+/master/[0-9a-f-]{36}\n$");
    return line.match(QString::fromUtf8(readAll(Utils::fileState()))).hasMatch();
}

static QString storedToken()
{
    return QSettings(Utils::fileConfig(), QSettings::IniFormat).value("server/token").toString();
}

// The critical error box: logged, shown, answered, status 255.
static void givesUp(const Xvfb &display, ChildProcess &agent, const QString &line, const QString &name)
{
    QVERIFY2(agent.waitForLog(line, START_MS), qPrintable(agent.errText()));
    const QStringList windows = display.dialogsOf(agent.processId(), START_MS);
    QCOMPARE(windows.size(), 1);
    display.screenshot("files-" + name);
    QVERIFY(display.pressKey(windows.first(), "Return"));
    QVERIFY(agent.ended());
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), 255);
}

static void stop(ChildProcess &agent)
{
    QCOMPARE(TestSupport::signalProcess(agent.processId(), SIGTERM), 0);
    QVERIFY(agent.ended());
    QCOMPARE(agent.exitCode(), 0);
}

class TestHardeningFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unwritableDirectoryIsNoRunningInstance();
    void fullDiskKeepsSettingsAndState();
    void fullDiskAtFirstStartRecovers();

private:
    LoopbackProxy proxy;
};

void TestHardeningFiles::initTestCase()
{
    qRegisterMetaType<QList<QSslError>>();
    if (::geteuid() != 0)
        QSKIP("mounting a tmpfs needs root");
    QVERIFY(proxy.isListening());
}

// Not "already running": nobody runs, the lock cannot be made at all.
void TestHardeningFiles::unwritableDirectoryIsNoRunningInstance()
{
    TestHome home;
    Xvfb display;
    QVERIFY(display.isRunning());
    TinyDisk disk(Utils::dirConfig());
    QVERIFY(disk.isMounted());
    storeLanguage("sk");
    QVERIFY(disk.remount("ro"));

    ChildProcess agent;
    startAgent(agent, agentEnvironment(&display));
    givesUp(display, agent,
            "[C] Nepodarilo sa vytvorit zamok hlavnej instancie v adresari \"" + Utils::dirConfig() + "\" (:0, )\n",
            "lock-uncreatable");
}

// With one page left the settings lock fits, their new copy does not, and
// the state file does not either: config.ini stays whole, no state file
// appears, and the instance says so instead of running unreachable.
void TestHardeningFiles::fullDiskKeepsSettingsAndState()
{
    TestHome home;
    Xvfb display;
    QVERIFY(display.isRunning());
    TinyDisk disk(Utils::dirConfig());
    QVERIFY(disk.isMounted());
    seedAgentHome();
    {
        ChildProcess first;
        startAgent(first, agentEnvironment());
        QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
        stop(first);
    }
    const QByteArray config = readAll(Utils::fileConfig());
    const QString token = storedToken();
    QVERIFY2(!token.isEmpty() && config.contains("lang=sk"), config.constData());
    QCOMPARE(fileMode(Utils::fileConfig()), 0600);

    QVERIFY(disk.leaveFree(1));
    ChildProcess agent;
    startAgent(agent, agentEnvironment(&display));
    givesUp(display, agent, QString::fromUtf8("[C] Nepodarilo sa zapísať informácie o stave. (:0, )\n"), "state-full");
    QCOMPARE(readAll(Utils::fileConfig()), config);
    QVERIFY(!QFileInfo::exists(Utils::fileState()));
    QVERIFY(!QFileInfo::exists(Utils::fileStateTmp()));

    // Space again: the same token, published.
    QVERIFY(disk.remount("size=4m"));
    ChildProcess next;
    startAgent(next, agentEnvironment());
    QTRY_VERIFY_WITH_TIMEOUT(stateWritten(), START_MS);
    QVERIFY(readAll(Utils::fileState()).contains("/master/" + token.toUtf8()));
    stop(next);
}

// No certificate can be written at the first start. Neither that nor the
// empty containers an older version left behind in that case keep the next
// start from making the set anew and asking about the new authority.
void TestHardeningFiles::fullDiskAtFirstStartRecovers()
{
    TestHome home;
    Xvfb display;
    QVERIFY(display.isRunning());
    TinyDisk disk(Utils::dirConfig());
    QVERIFY(disk.isMounted());
    storeLanguage("sk");
    QCOMPARE(runKavrel({"-i", "-q"}, agentEnvironment()).exitCode, 0);

    QVERIFY(disk.leaveFree(1));
    ChildProcess agent;
    startAgent(agent, agentEnvironment(&display));
    givesUp(display, agent, QString::fromUtf8("[C] Nepodarilo sa prečítať certifikát. (:0, )\n"), "certificates-full");
    QCOMPARE(QDir(Utils::dirCertificates()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

    QVERIFY(disk.remount("size=4m"));
    QVERIFY(CertificateGenerator(nullptr).generate());
    const QSslCertificate oldCa = agentCa();
    for (const QString &name : {QString("kavrel.localhost"), QString("127.0.0.1")})
        QVERIFY(writeFile(Utils::fileCertificateSsl(name), QByteArray()));

    ChildProcess next;
    startAgent(next, agentEnvironment(&display));
    confirmNotice(display, next, "files-regenerated");
    QVERIFY(!agentCa().isNull());
    QVERIFY(agentCa() != oldCa);
    TestPeer page(agentCa(), proxy.proxy());
    QVERIFY(!page.first(QUrl(QString::fromUtf8(readAll(Utils::fileState())).trimmed())).isEmpty());
    stop(next);
}

QTEST_MAIN(TestHardeningFiles)
#include "tst_hardening_files.moc"
