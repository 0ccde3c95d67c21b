#include "childprocess.h"
#include "server.h"
#include "testsupport.h"
#include "utils.h"

#include <QLockFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace TestSupport;

static const QString TOKEN = "6c1f0e2a-93b4-4d57-8a0e-5b2c7d9e1f30";
static const QString REFUSED = "closed 1008 Pristup zamietnuty";
static const QString HELLO = "text {\"id\":null,\"jsonrpc\":\"2.0\",\"method\":\"hello\"";
static const QString REDIRECTED = "\"url\":\"wss://127.0.0.1:50123/master/fake-token\"";

class TestPeerAccount : public QObject
{
    Q_OBJECT

private slots:
    void otherAccountsAreRefused();

private:
    // What the client answered when run as the account (empty: our own).
    QString connectAs(const QString &account, const QUrl &url);

    QString client;
};

QString TestPeerAccount::connectAs(const QString &account, const QUrl &url)
{
    QProcess process;
    QStringList args{client, url.toString()};
    if (!account.isEmpty())
        args = QStringList{"--reuid=" + account, "--regid=" + account, "--clear-groups"} + args;
    process.start(account.isEmpty() ? client : "setpriv", account.isEmpty() ? args.mid(1) : args);
    process.write(agentCa().toPem());
    process.closeWriteChannel();
    // The in-process server needs our event loop while the client talks.
    if (!QTest::qWaitFor([&]() { return process.state() == QProcess::NotRunning; }, 30000))
        return "timed out";
    return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError()).trimmed();
}

// A client holding the right token but running under another local account
// gets into neither listener, while the same client under ours does.
void TestPeerAccount::otherAccountsAreRefused()
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        QSKIP("starting a client under another account needs root and setpriv");
    TestHome home;
    seedAgentHome();
    // The build tree may lie where the other account cannot reach.
    QTemporaryDir bin;
    client = bin.filePath("wssclient");
    QVERIFY(QFile::copy(helperPath("wssclient"), client));
    QVERIFY(QFile::setPermissions(bin.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                      | QFile::ExeOther));
    QVERIFY(QFile::setPermissions(client, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));

    Server server(TOKEN, nullptr);
    QVERIFY(!server.listen("kavrel.localhost", QHostAddress::LocalHost, 0).isEmpty());
    const QUrl master = wssUrl("127.0.0.1", server.port(), "/master/" + TOKEN);
    QTest::ignoreMessage(QtWarningMsg, "Spojenie z ineho uctu (uid 65534) - odmietam");
    QCOMPARE(connectAs("65534", master), REFUSED);
    QTest::ignoreMessage(QtWarningMsg, "Spojenie z ineho uctu (uid 1) - odmietam");
    QCOMPARE(connectAs("1", master), REFUSED);
    QVERIFY(connectAs(QString(), master).startsWith(HELLO));

    QLockFile lock(Utils::fileLock());
    pretendMainInstance(lock);
    PortHold hold(1);
    const quint16 port = hold.port();
    ChildProcess launcher;
    launcher.setProcessEnvironment(offscreen());
    hold.release();
    launcher.start(kavrelPath(),
                   {QString("obrenta-kavrel:?hostnames=kavrel.localhost&ports=%1&token=%2").arg(port).arg(TOKEN)});
    QVERIFY2(launcher.waitForLog("Pocuvam na:"), qPrintable(launcher.errText()));
    const QUrl redirect = wssUrl("127.0.0.1", port, "/getUrl/" + TOKEN);
    QCOMPARE(connectAs("65534", redirect), REFUSED);
    QVERIFY2(launcher.errText().contains("[W] Spojenie z ineho uctu (uid 65534) - odmietam"),
             qPrintable(launcher.errText()));
    QVERIFY(connectAs(QString(), redirect).contains(REDIRECTED));
    QVERIFY2(launcher.ended(), qPrintable(launcher.errText()));
    QCOMPARE(launcher.exitCode(), 0);
}

QTEST_MAIN(TestPeerAccount)
#include "tst_peeraccount.moc"
