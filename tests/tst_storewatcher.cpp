#include "browsers.h"
#include "childprocess.h"
#include "testsupport.h"
#include "utils.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QtTest>

#include <csignal>

using namespace TestSupport;

static const int START_MS = 60000;

// The trust string of the agent's CA in a database; empty when it is not there.
static QString caTrust(const QString &dir)
{
    const QString name = agentCa().subjectInfo(QSslCertificate::CommonName).value(0);
    const QString listing = runTool("certutil", {"-L", "-d", "sql:" + dir});
    return QRegularExpression("^" + QRegularExpression::escape(name) + "\\s+(\\S+)\\s*$",
                              QRegularExpression::MultilineOption)
        .match(listing)
        .captured(1);
}

// A browser that makes its store while the agent runs gets the CA after the
// usual notice, without a restart of the agent.
class TestStoreWatcher : public QObject
{
    Q_OBJECT

private slots:
    void storesMadeWhileRunning();

private:
    // Answers the notice and the box after it; name marks the screenshots.
    void confirm(ChildProcess &agent, const QString &name);

    Xvfb display;
};

void TestStoreWatcher::confirm(ChildProcess &agent, const QString &name)
{
    const QStringList notice = display.dialogsOf(agent.processId(), START_MS);
    QVERIFY2(notice.size() == 1, qPrintable(agent.errText()));
    QCOMPARE(display.windowName(notice.first()), QString("Inštalácia certifikátu"));
    display.screenshot("watcher-notice-" + name);
    QVERIFY(display.pressKey(notice.first(), "Return"));
    const QStringList outcome = display.nextDialogsOf(agent.processId(), notice);
    QCOMPARE(outcome.size(), 1);
    QVERIFY2(!agent.errText().contains("Nepodarilo sa pridat certifikat"), qPrintable(agent.errText()));
    QVERIFY(display.pressKey(outcome.first(), "Return"));
    QTRY_VERIFY_WITH_TIMEOUT(display.dialogsOf(agent.processId(), 0).isEmpty(), START_MS);
}

// A user with no browser yet starts the agent, then runs Firefox for the
// first time and Chromium for its first secure connection: each new store is
// offered the CA while the agent runs on. A store that already trusts it, or
// one made once the user declined, asks nothing more.
void TestStoreWatcher::storesMadeWhileRunning()
{
    TestHome home;
    seedAgentHome();
    QVERIFY(display.isRunning());
    ChildProcess agent;
    QProcessEnvironment env = display.environment();
    env.insert("PATH", pathWithHelpers());
    agent.setProcessEnvironment(env);
    agent.start(kavrelPath(), {"-s"});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(Utils::fileState()), START_MS);
    QVERIFY(display.dialogsOf(agent.processId(), 0).isEmpty());

    const QString firefox = Browsers::firstFirefoxRun();
    QVERIFY(!firefox.isEmpty());
    confirm(agent, "firefox");
    QCOMPARE(caTrust(firefox), QString("C,,"));
    QVERIFY(agent.errText().contains("Nova databaza certifikatov: \"" + firefox + "\" neduveruje CA"));

    const QString chromium = Browsers::firstChromiumRun();
    QVERIFY(!chromium.isEmpty());
    confirm(agent, "chromium");
    QCOMPARE(caTrust(chromium), QString("C,,"));
    // Chromium, restarted as the box asks, now trusts the agent that never stopped.
    const QUrl server(Utils::readServerUrls(readAll(Utils::fileState())).value(0));
    const ChildResult page = Browsers::chromium("https://kavrel.localhost:" + QString::number(server.port()) + "/",
                                                {"--dump-dom"});
    const QString failure =
        QRegularExpression("Page load failed: net::(ERR_\\w+)").match(QString::fromLocal8Bit(page.err)).captured(1);
    QVERIFY2(!failure.isEmpty() && !failure.startsWith("ERR_CERT") && !page.err.contains("handshake failed"),
             page.err.constData());

    // A profile that comes with the CA trusted already is only noted.
    const QString profiles = qEnvironmentVariable("XDG_CONFIG_HOME") + "/mozilla/firefox";
    const QString trusting = profiles + "/trusting.default";
    QVERIFY(QDir().mkpath(trusting));
    QCOMPARE(runTool("certutil", {"-N", "--empty-password", "-d", "sql:" + trusting}), QString());
    QCOMPARE(runTool("certutil",
                     {"-A", "-t", "C,,", "-n", agentCa().subjectInfo(QSslCertificate::CommonName).value(0), "-i",
                      Utils::fileCertificateCa(), "-d", "sql:" + trusting}),
             QString());
    QVERIFY(writeFile(profiles + "/profiles.ini",
                      readAll(profiles + "/profiles.ini") + "\n[Profile7]\nIsRelative=1\nPath=trusting.default\n"));
    QVERIFY(agent.waitForLog("Nova databaza certifikatov: \"" + trusting + "\" duveruje CA"));

    // Declined, a store is not asked about again while the agent runs.
    const QString declined = profiles + "/declined.default";
    QVERIFY(QDir().mkpath(declined));
    QVERIFY(writeFile(profiles + "/profiles.ini",
                      readAll(profiles + "/profiles.ini") + "\n[Profile8]\nIsRelative=1\nPath=declined.default\n"));
    QCOMPARE(runTool("certutil", {"-N", "--empty-password", "-d", "sql:" + declined}), QString());
    const QStringList notice = display.dialogsOf(agent.processId(), START_MS);
    QCOMPARE(notice.size(), 1);
    QVERIFY(display.pressKey(notice.first(), "Escape"));
    QTRY_VERIFY_WITH_TIMEOUT(display.dialogsOf(agent.processId(), 0).isEmpty(), START_MS);
    QVERIFY(writeFile(declined + "/touched", "x"));
    QVERIFY(display.dialogsOf(agent.processId(), 3 * 1500).isEmpty());
    QCOMPARE(caTrust(declined), QString());

    QCOMPARE(::kill(pid_t(agent.processId()), SIGTERM), 0);
    QVERIFY(agent.ended());
    QCOMPARE(agent.exitCode(), 0);
}

QTEST_MAIN(TestStoreWatcher)
#include "tst_storewatcher.moc"
