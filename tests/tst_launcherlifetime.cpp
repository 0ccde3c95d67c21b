#include "childprocess.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QElapsedTimer>
#include <QLockFile>
#include <QtTest>

using namespace TestSupport;

static const QString TOKEN = "page-token-7";

// The redirect server's real lifetime, two minutes of waiting; kept out of
// tst_launcher so that `ctest -LE slow` can leave it out.
class TestLauncherLifetime : public QObject
{
    Q_OBJECT

private slots:
    void lifetimeEndsLauncher();
};

// Pages that never come, or never leave, do not keep the launcher alive: its
// listeners close two minutes after they started.
void TestLauncherLifetime::lifetimeEndsLauncher()
{
    TestHome home;
    seedAgentHome();
    QLockFile lock(Utils::fileLock());
    pretendMainInstance(lock);
    PortHold hold(2);
    const QList<quint16> ports = hold.ports();
    ChildProcess launcher;
    launcher.setProcessEnvironment(offscreen());
    QElapsedTimer timer;
    hold.release();
    timer.start();
    launcher.start(
        kavrelPath(),
        {QString("obrenta-kavrel:?hostnames=127.0.0.1&ports=%1,%2&token=%3").arg(ports[0]).arg(ports[1]).arg(TOKEN)});
    QVERIFY(launcher.waitForStarted());
    QVERIFY2(launcher.waitForLog(QString("Pocuvam na: \"kavrel.localhost\" \"127.0.0.1\" %1 ").arg(ports[1])),
             qPrintable(launcher.errText()));
    // A page that stays connected on one listener; nobody uses the other.
    TestPeer page(agentCa());
    QVERIFY(!page.first(wssUrl("127.0.0.1", ports[0], "/getUrl/" + TOKEN)).isEmpty());

    QVERIFY2(launcher.ended(150000), qPrintable(launcher.errText()));
    QVERIFY(timer.elapsed() >= 120000);
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
}

QTEST_MAIN(TestLauncherLifetime)
#include "tst_launcherlifetime.moc"
