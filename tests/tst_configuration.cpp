#include "browsers.h"
#include "childprocess.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QtTest>

#include <csignal>

using namespace TestSupport;

// Certificates are made at a first start; generous for a loaded machine.
static const int START_MS = 60000;
static const QString FOREIGN = "Foreign Root";
// Looks like ours but is not: never listed, never removed.
static const QString LETTERS = "Obrenta Kavrel CA abc";
static const QRegularExpression AGENT_CA("^Obrenta Kavrel CA \\d+$");

static QString sharedDatabase()
{
    return QDir::homePath() + "/.pki/nssdb";
}

static QString firefoxDir()
{
    return QDir::homePath() + "/.mozilla/firefox";
}

// A new database that already trusts roots of someone else's.
static void makeDatabase(const QString &dir)
{
    QVERIFY(QDir().mkpath(dir));
    int code = -1;
    QString out = runTool("certutil", {"-N", "--empty-password", "-d", "sql:" + dir}, &code);
    QVERIFY2(code == 0, qPrintable(out));
    for (const QString &name : {FOREIGN, LETTERS}) {
        const QString file = QDir::homePath() + "/" + name + ".crt";
        if (!QFileInfo::exists(file))
            makeContainer(QDir::homePath(), name, {"-newkey", "rsa:2048"}, "/CN=" + name, "x");
        out = runTool("certutil", {"-A", "-t", "C,,", "-n", name, "-i", file, "-d", "sql:" + dir}, &code);
        QVERIFY2(code == 0, qPrintable(out));
    }
}

// Nicknames that certutil lists in a database, in its order.
static QStringList nicknames(const QString &dir)
{
    static const QRegularExpression entry("^(\\S.*\\S)\\s+([A-Za-z]*,[A-Za-z]*,[A-Za-z]*)\\s*$");
    QStringList names;
    const QStringList lines = runTool("certutil", {"-L", "-d", "sql:" + dir}).split('\n');
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = entry.match(line);
        if (match.hasMatch())
            names << match.captured(1);
    }
    names.sort();
    return names;
}

static QString agentNickname()
{
    return agentCa().subjectInfo(QSslCertificate::CommonName).value(0);
}

static QString entryFile()
{
    return QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) + "/applications/obrenta-kavrel.desktop";
}

static QString schemeHandler()
{
    return runTool("xdg-mime", {"query", "default", "x-scheme-handler/obrenta-kavrel"}).trimmed();
}

class TestConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void startsFromFirstToUninstall();
    void uninstallWhileNoticeIsOpen();
    void storesThatRealBrowsersMade();
    void foreignLockHolderIsNotSignalled();

private:
    void start(ChildProcess &agent, const QString &name);
    void stop(ChildProcess &agent);
    // Every database holds the current agent CA as its only one, and the foreign root.
    void trustedEverywhere(const QStringList &databases);
    void launchedThroughDesktop();

    Xvfb display;
};

void TestConfiguration::start(ChildProcess &agent, const QString &name)
{
    QVERIFY(display.isRunning());
    QProcessEnvironment env = display.environment();
    env.insert("PATH", pathWithHelpers());
    agent.setProcessEnvironment(env);
    agent.start(kavrelPath(), {"-s"});
    QVERIFY(agent.waitForStarted());
    agent.setObjectName(name);
}

void TestConfiguration::stop(ChildProcess &agent)
{
    QCOMPARE(TestSupport::signalProcess(agent.processId(), SIGTERM), 0);
    QVERIFY(agent.ended());
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), 0);
}

void TestConfiguration::trustedEverywhere(const QStringList &databases)
{
    const QString current = agentNickname();
    QVERIFY(current.startsWith("Obrenta Kavrel CA "));
    for (const QString &dir : databases) {
        const QStringList names = nicknames(dir);
        QCOMPARE(names.filter(AGENT_CA), QStringList{current});
        QVERIFY2(names.contains(FOREIGN) && names.contains(LETTERS), qPrintable(dir));
    }
}

// The desktop runs the registered entry for a launch URL, and what it starts
// answers the page.
void TestConfiguration::launchedThroughDesktop()
{
    QCOMPARE(schemeHandler(), QString("obrenta-kavrel.desktop"));
    // Launch URLs name ports of the dynamic range only.
    PortHold hold(1);
    const quint16 port = hold.port();
    const QString url = QString("obrenta-kavrel:?hostnames=127.0.0.1&ports=%1&token=desktop-7").arg(port);
    ChildProcess opened;
    opened.setProcessEnvironment(display.environment());
    hold.release();
    opened.start("xdg-open", {url});
    QTRY_VERIFY_WITH_TIMEOUT(listening(port), START_MS);
    TestPeer page(agentCa());
    const QString hello = page.first(wssUrl("127.0.0.1", port, "/getUrl/desktop-7"));
    QVERIFY2(hello.contains("\"url\":\"wss://127.0.0.1:"), qPrintable(hello));
    // The launcher ends with its page, and xdg-open with the launcher.
    page.socket.close();
    QVERIFY2(opened.ended(), qPrintable(opened.errText()));
    QCOMPARE(opened.exitCode(), 0);
}

// A clean account with a shared database and two Firefox profiles: the first
// start registers everything and trusts its CA after one OK, the second asks
// nothing, a new profile and a lost server certificate each bring the notice
// back, and -u takes it all away again, also from under a running instance.
void TestConfiguration::startsFromFirstToUninstall()
{
    TestHome home;
    storeLanguage();
    const QString relative = firefoxDir() + "/Profiles/abc.default";
    const QString absolute = home.path() + "/elsewhere/xyz.work";
    QStringList databases{sharedDatabase(), relative, absolute};
    for (const QString &dir : databases)
        makeDatabase(dir);
    QVERIFY(writeFile(firefoxDir() + "/profiles.ini",
                      "[General]\nStartWithLastProfile=1\n\n"
                      "[Profile0]\nName=default\nPath=Profiles/abc.default\nPath=\nIsRelative=1\n\n"
                      "[Profile1]\nName=work\nIsRelative=0\nPath="
                          + absolute.toUtf8() + "\n"));

    ChildProcess first;
    start(first, "first");
    confirmNotice(display, first, first.objectName());
    trustedEverywhere(databases);
    QVERIFY(readAll(Utils::fileInstallation()).contains("<Path>" + kavrelPath().toUtf8() + "</Path>"));
    QVERIFY(readAll(entryFile()).contains("\nExec=" + kavrelPath().toUtf8() + " %U\n"));
    launchedThroughDesktop();
    stop(first);

    const QDateTime registered = QFileInfo(entryFile()).lastModified();
    ChildProcess second;
    start(second, "second");
    // Published without anyone answering a dialog: none was shown.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(Utils::fileState()), START_MS);
    QVERIFY(display.dialogsOf(second.processId(), 0).isEmpty());
    QCOMPARE(QFileInfo(entryFile()).lastModified(), registered);
    stop(second);

    const QString later = firefoxDir() + "/Profiles/later.default";
    makeDatabase(later);
    QVERIFY(writeFile(firefoxDir() + "/profiles.ini",
                      readAll(firefoxDir() + "/profiles.ini")
                          + "\n[Profile2]\nName=later\nIsRelative=1\n"
                            "Path=Profiles/later.default\n"));
    ChildProcess third;
    start(third, "profile-added");
    confirmNotice(display, third, third.objectName());
    QCOMPARE(nicknames(later).filter(AGENT_CA), QStringList{agentNickname()});
    stop(third);

    const QString before = agentNickname();
    QVERIFY(QFile::remove(Utils::fileCertificateSsl("kavrel.localhost")));
    ChildProcess fourth;
    start(fourth, "regenerated");
    confirmNotice(display, fourth, fourth.objectName());
    QVERIFY(agentNickname() != before);
    databases << later;
    trustedEverywhere(databases);

    // -u ends the running instance and waits for it, so nothing it leaves on
    // its way out brings the configuration directory back.
    const ChildResult removed = runKavrel({"-u"}, display.environment(), START_MS);
    QCOMPARE(removed.exitCode, 0);
    const QByteArray stat = readAll("/proc/" + QString::number(fourth.processId()) + "/stat");
    QVERIFY2(stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z", stat.constData());
    QVERIFY(fourth.ended(5000));
    QCOMPARE(fourth.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(Utils::dirConfig()));
    QVERIFY(!QFileInfo::exists(entryFile()));
    QVERIFY(!QFileInfo::exists(QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"))
                               + "/icons/hicolor/48x48/apps/obrenta-kavrel.png"));
    QVERIFY(schemeHandler().isEmpty());
    for (const QString &dir : databases)
        QCOMPARE(nicknames(dir), QStringList({FOREIGN, LETTERS}));

    // Nothing left to remove: the first-run language question, then 0.
    ChildProcess again;
    again.setProcessEnvironment(display.environment());
    again.start(kavrelPath(), {"-u", "-q"});
    const QStringList language = display.windowsOf(again.processId(), START_MS);
    QCOMPARE(language.size(), 1);
    QVERIFY(display.pressKey(language.first(), "Return"));
    QVERIFY(again.ended());
    QCOMPARE(again.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(Utils::dirConfig()));
}

// An instance told to end while its start waits for the user must not go on
// to serve and write its files into a directory that -u has just removed.
void TestConfiguration::uninstallWhileNoticeIsOpen()
{
    TestHome home;
    storeLanguage();
    makeDatabase(sharedDatabase());
    ChildProcess agent;
    start(agent, "uninstalled-at-notice");
    QCOMPARE(display.dialogsOf(agent.processId(), START_MS).size(), 1);
    const ChildResult removed = runKavrel({"-u"}, offscreen(), START_MS);
    QCOMPARE(removed.exitCode, 0);
    QVERIFY2(agent.ended(), qPrintable(agent.errText()));
    QCOMPARE(agent.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(Utils::dirConfig()));
    QCOMPARE(nicknames(sharedDatabase()), QStringList({FOREIGN, LETTERS}));
}

// Debian's Firefox ESR and Chromium make their stores where a new account has
// them today (the XDG configuration and data directories); one OK puts the
// CA into both, and Chromium then trusts the agent.
void TestConfiguration::storesThatRealBrowsersMade()
{
    TestHome home;
    storeLanguage();
    const QString firefoxStore = Browsers::firstFirefoxRun();
    const QString chromiumStore = Browsers::firstChromiumRun();
    QVERIFY(!firefoxStore.isEmpty() && !chromiumStore.isEmpty());

    ChildProcess agent;
    start(agent, "real-browsers");
    confirmNotice(display, agent, agent.objectName());
    for (const QString &store : {firefoxStore, chromiumStore})
        QCOMPARE(nicknames(store).filter(AGENT_CA), QStringList{agentNickname()});
    const QString serverUrl = QString::fromUtf8(readAll(Utils::fileState())).trimmed();
    const QUrl page("https://kavrel.localhost:" + QString::number(QUrl(serverUrl).port()) + "/");
    const ChildResult trusted = Browsers::chromium(page.toString(), {"--dump-dom"});
    // The handshake passes; a plain page request then gets nothing from a
    // server that speaks only WebSocket.
    const QString loaded =
        QRegularExpression("Page load failed: net::(ERR_\\w+)").match(QString::fromLocal8Bit(trusted.err)).captured(1);
    QVERIFY2(!loaded.isEmpty() && !loaded.startsWith("ERR_CERT") && !trusted.err.contains("handshake failed"),
             trusted.err.constData());

    QCOMPARE(runKavrel({"-u"}, offscreen(), START_MS).exitCode, 0);
    for (const QString &store : {firefoxStore, chromiumStore})
        QCOMPARE(nicknames(store).filter(AGENT_CA), QStringList());
}

// The lock names a live process that is not the agent (here: this test).
void TestConfiguration::foreignLockHolderIsNotSignalled()
{
    TestHome home;
    storeLanguage();
    QLockFile lock(Utils::fileLock());
    QVERIFY(lock.tryLock(0));
    const ChildResult removed = runKavrel({"-u"}, offscreen(), START_MS);
    QCOMPARE(removed.exitCode, 0);
    QVERIFY(!QFileInfo::exists(Utils::dirConfig()));
}

QTEST_MAIN(TestConfiguration)
#include "tst_configuration.moc"
