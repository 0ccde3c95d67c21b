#include "childprocess.h"
#include "testsupport.h"
#include "utils.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QtTest>

#include <csignal>

using namespace TestSupport;

static const int START_MS = 60000;
static const QString FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
static const QRegularExpression AGENT_CA("^Obrenta Kavrel CA \\d+$");

static QString sharedDatabase()
{
    return QDir::homePath() + "/.pki/nssdb";
}

// Agent CA nicknames in the shared database.
static QStringList agentCas()
{
    static const QRegularExpression row("^(\\S.*\\S)\\s+\\S*,\\S*,\\S*$");
    QStringList names;
    const QStringList lines = runTool("certutil", {"-L", "-d", "sql:" + sharedDatabase()}).split('\n');
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = row.match(line.trimmed());
        if (match.hasMatch() && AGENT_CA.match(match.captured(1)).hasMatch())
            names << match.captured(1);
    }
    return names;
}

static QString caName()
{
    return agentCa().subjectInfo(QSslCertificate::CommonName).value(0);
}

static QDateTime utc(const QString &moment)
{
    QDateTime time = QDateTime::fromString(moment, "yyyy-MM-dd HH:mm:ss");
    time.setTimeSpec(Qt::UTC);
    return time;
}

// The faked clock runs from the moment the agent starts.
static bool near(const QDateTime &time, const QString &moment)
{
    return qAbs(time.secsTo(utc(moment))) < 60;
}

// A set that the agent and its tools make and judge with their clock at a
// given moment, as a machine whose clock says so, or one that ran that long.
class TestCertificateLifetime : public QObject
{
    Q_OBJECT

private slots:
    void renewedOnceBeforeItEnds();

private:
    // Starts the agent with its clock at moment; answers the notice when one
    // is due, else checks that none came.
    void startAt(ChildProcess &agent, const QString &moment, bool notice);
    void stop(ChildProcess &agent);
    // A TLS client with its clock at moment verifies the chain up to the CA
    // file and the host name.
    void clientTrusts(const QString &moment);

    Xvfb display;
};

void TestCertificateLifetime::startAt(ChildProcess &agent, const QString &moment, bool notice)
{
    QVERIFY(display.isRunning());
    QVERIFY(QFileInfo::exists(FAKETIME_LIB));
    QProcessEnvironment env = display.environment();
    env.insert("PATH", pathWithHelpers());
    env.insert("LD_PRELOAD", FAKETIME_LIB);
    env.insert("FAKETIME", "@" + moment);
    // Timers keep to the real clock.
    env.insert("FAKETIME_DONT_FAKE_MONOTONIC", "1");
    agent.setProcessEnvironment(env);
    agent.start(kavrelPath(), {"-s"});
    QVERIFY(agent.waitForStarted());
    if (notice) {
        confirmNotice(display, agent, "lifetime-" + moment.left(10));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(Utils::fileState()), START_MS);
        QVERIFY(display.dialogsOf(agent.processId(), 0).isEmpty());
    }
}

void TestCertificateLifetime::stop(ChildProcess &agent)
{
    QCOMPARE(::kill(pid_t(agent.processId()), SIGTERM), 0);
    QVERIFY(agent.ended());
    QCOMPARE(agent.exitCode(), 0);
}

void TestCertificateLifetime::clientTrusts(const QString &moment)
{
    const QUrl server(Utils::readServerUrls(readAll(Utils::fileState())).value(0));
    QCOMPARE(server.host(), QString("kavrel.localhost"));
    const QString out =
        runTool("sh",
                {"-c",
                 "echo | openssl s_client -connect 127.0.0.1:" + QString::number(server.port())
                     + " -servername kavrel.localhost -verify_hostname kavrel.localhost -verify_return_error"
                       " -CAfile '"
                     + Utils::fileCertificateCa() + "' -attime " + QString::number(utc(moment).toSecsSinceEpoch())
                     + " 2>&1"});
    QVERIFY2(out.contains("Verify return code: 0 (ok)"), qPrintable(out));
}

// Made in 1988, a set serves for fifty years; three months before its end a
// start makes a new one, once, and the stores trade the old CA for the new.
// Past 2049 its end is still read right; a set long expired, or not valid yet
// because the clock went back, is made anew as well, each with its reason.
void TestCertificateLifetime::renewedOnceBeforeItEnds()
{
    TestHome home;
    storeLanguage();
    QVERIFY(QDir().mkpath(sharedDatabase()));
    QCOMPARE(runTool("certutil", {"-N", "--empty-password", "-d", "sql:" + sharedDatabase()}), QString());

    ChildProcess made;
    startAt(made, "1988-03-10 12:00:00", true);
    clientTrusts("1988-03-10 12:00:00");
    clientTrusts("2038-03-09 11:59:00");
    QVERIFY(near(agentCa().expiryDate(), "2038-03-09 12:00:00"));
    const QString first = caName();
    QCOMPARE(agentCas(), QStringList{first});
    stop(made);
    const QString oldSet = home.path() + "/old-set";
    QVERIFY(QDir().rename(Utils::dirCertificates(), oldSet));
    QVERIFY(QDir().mkpath(Utils::dirCertificates()));
    for (const QString &file : QDir(oldSet).entryList(QDir::Files))
        QVERIFY(QFile::copy(oldSet + "/" + file, Utils::dirCertificates() + "/" + file));

    ChildProcess renewed;
    startAt(renewed, "2038-02-01 12:00:00", true);
    QCOMPARE(renewed.errText().count("Platnost certifikatu sa skonci o menej ako 90 dni, vytvaram novu sadu:"), 1);
    clientTrusts("2038-02-01 12:00:00");
    QVERIFY(near(agentCa().effectiveDate(), "2038-01-31 12:00:00"));
    QVERIFY(near(agentCa().expiryDate(), "2088-01-31 12:00:00"));
    const QString second = caName();
    QVERIFY(second != first);
    QCOMPARE(agentCas(), QStringList{second});
    stop(renewed);

    ChildProcess kept;
    startAt(kept, "2060-06-01 12:00:00", false);
    QVERIFY2(!kept.errText().contains("vytvaram novu sadu"), qPrintable(kept.errText()));
    clientTrusts("2060-06-01 12:00:00");
    clientTrusts("2088-01-31 11:59:00");
    QCOMPARE(caName(), second);
    stop(kept);

    // The set of 1988, long over.
    QVERIFY(QDir(Utils::dirCertificates()).removeRecursively());
    QVERIFY(QDir().rename(oldSet, Utils::dirCertificates()));
    ChildProcess expired;
    startAt(expired, "2060-06-01 12:00:00", true);
    QCOMPARE(expired.errText().count("Platnost certifikatu skoncila, vytvaram novu sadu:"), 1);
    clientTrusts("2060-06-01 12:00:00");
    QVERIFY(near(agentCa().expiryDate(), "2110-05-31 12:00:00"));
    QCOMPARE(agentCas(), QStringList{caName()});
    stop(expired);

    // Back to today's clock with the set of 2060.
    ChildProcess early;
    startAt(early, QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd HH:mm:ss"), true);
    QCOMPARE(early.errText().count("Certifikat este nie je platny, vytvaram novu sadu:"), 1);
    QVERIFY(agentCa().effectiveDate() <= QDateTime::currentDateTimeUtc().addDays(-1));
    stop(early);
}

QTEST_MAIN(TestCertificateLifetime)
#include "tst_certificatelifetime.moc"
