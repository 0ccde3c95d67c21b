#include "messagelog.h"
#include "runprocess.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

class TestRunProcess : public QObject
{
    Q_OBJECT

private slots:
    void successWithoutOutput();
    void nonZeroExitCode();
    void nonZeroExitCodeSilent();
    void standardInput_data();
    void standardInput();
    void missingProgram();
    void emptyProgramNameSkipsLoop();
    void crashingProgram();
    void workingDirectory();
    void timeLimitEndsTool();
    void quitEndsToolDeliberately();
};

// The pid a shell wrote before it became the tool (exec), so the test can
// tell that the very process is gone.
static qint64 toolPid(const QString &file)
{
    return QString::fromLatin1(TestSupport::readAll(file)).trimmed().toLongLong();
}

static bool gone(qint64 pid)
{
    return pid > 0 && !QFileInfo::exists(QString("/proc/%1").arg(pid));
}

void TestRunProcess::successWithoutOutput()
{
    MessageLog log;
    RunProcess p;
    QVERIFY(p.start("true", {}, QByteArray(), false));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(!p.startFailed());
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
    QVERIFY(log.warnings().isEmpty());
}

void TestRunProcess::nonZeroExitCode()
{
    MessageLog log;
    RunProcess p;
    const QStringList args = {"-c", "echo 'some output'; echo ignored >&2; exit 3", "x y"};
    QVERIFY(!p.start("sh", args, QByteArray(), false));
    QCOMPARE(p.exitCode(), 3);
    QVERIFY(!p.startFailed());
    QCOMPARE(log.warnings(),
             QStringList("Spustenie aplikacie zlyhalo. Aplikacia: \"sh\" Navratovy kod: 3 Argumenty: "
                         "(\"-c\", \"echo 'some output'; echo ignored >&2; exit 3\", \"x y\") "
                         "Vystup:  \"some output\\n\""));
    // The warning consumed the output; it must still reach the caller, twice.
    QCOMPARE(p.readAllStandardOutput(), QByteArray("some output\n"));
    QCOMPARE(p.readAllStandardOutput(), QByteArray("some output\n"));
}

void TestRunProcess::nonZeroExitCodeSilent()
{
    MessageLog log;
    RunProcess p;
    QVERIFY(!p.start("sh", {"-c", "echo quiet; exit 1"}, QByteArray(), true));
    QCOMPARE(p.exitCode(), 1);
    QVERIFY(!p.startFailed());
    QVERIFY(log.warnings().isEmpty());
    QCOMPARE(p.readAllStandardOutput(), QByteArray("quiet\n"));
}

void TestRunProcess::standardInput_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("text") << QByteArray("-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n");
    QTest::newRow("binary without newline") << QByteArray("a\0b\xff\r", 5);
    QTest::newRow("larger than a pipe") << QByteArray(300000, 'k');
}

// cat ends only at end of input, so a hang here means stdin was left open.
void TestRunProcess::standardInput()
{
    QFETCH(QByteArray, data);
    RunProcess p;
    QVERIFY(p.start("cat", {}, data, false));
    QCOMPARE(p.readAllStandardOutput(), data);
}

void TestRunProcess::missingProgram()
{
    MessageLog log;
    RunProcess p;
    QVERIFY(!p.start("kavrel-no-such-tool", {"-x"}, QByteArray("data"), false));
    QVERIFY(p.startFailed());
    QCOMPARE(log.warnings().size(), 1);
    QVERIFY2(log.warnings().first().startsWith(
                 "Nepodarilo sa spustit aplikaciu. Aplikacia:  \"kavrel-no-such-tool\" Dovod:  \"FailedToStart\" \""),
             qPrintable(log.warnings().first()));
}

void TestRunProcess::emptyProgramNameSkipsLoop()
{
    // A zero timer fires only if start() runs an event loop.
    bool loopRan = false;
    QTimer::singleShot(0, this, [&loopRan]() { loopRan = true; });
    {
        MessageLog log;
        RunProcess p;
        QVERIFY(!p.start(QString(), {}, QByteArray(), false));
        QVERIFY(p.startFailed());
        QVERIFY(!loopRan);
        QCOMPARE(log.warnings().size(), 1);
        QVERIFY(log.warnings().first().contains("\"FailedToStart\""));
    }

    // The same timer does fire while an ordinary tool runs.
    RunProcess p;
    QVERIFY(p.start("true", {}, QByteArray(), false));
    QVERIFY(loopRan);
}

void TestRunProcess::crashingProgram()
{
    MessageLog log;
    RunProcess p;
    QVERIFY(!p.start("sh", {"-c", "kill -SEGV $$"}, QByteArray(), false));
    QVERIFY(p.startFailed());
    // Only the error is logged, not the exit-code warning.
    QCOMPARE(log.warnings().size(), 1);
    QVERIFY2(log.warnings().first().startsWith(
                 "Nepodarilo sa spustit aplikaciu. Aplikacia:  \"sh\" Dovod:  \"Crashed\""),
             qPrintable(log.warnings().first()));
}

void TestRunProcess::workingDirectory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    RunProcess p;
    p.setWorkingDirectory(dir.path());
    QVERIFY(p.start("sh", {"-c", "pwd -P"}, QByteArray(), false));
    QCOMPARE(QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed(), QDir(dir.path()).canonicalPath());
}

// A tool that never ends is ended at its limit and counts as failed, with a
// warning that names it and nothing about a crash; the desktop tools' way
// (no event loop, output passed on) keeps the same limit.
void TestRunProcess::timeLimitEndsTool()
{
    QTemporaryDir dir;
    const QString pidFile = dir.filePath("pid");
    const QString warning =
        "Pomocny nastroj neskoncil v casovom limite, ukoncujem ho. Aplikacia: \"%1\" Limit (ms): 300";
    MessageLog log;
    RunProcess p;
    p.setTimeLimit(300);
    QVERIFY(!p.start("sh", {"-c", "echo $$ > " + pidFile + "; exec sleep 60"}, QByteArray(), false));
    QVERIFY(p.timedOut());
    QVERIFY(p.startFailed());
    QVERIFY(gone(toolPid(pidFile)));
    QCOMPARE(log.warnings(), QStringList(warning.arg("sh")));

    log.clear();
    QCOMPARE(RunProcess::execute("sh", {"-c", "exit 4"}), 4);
    QCOMPARE(RunProcess::execute("kavrel-no-such-tool", {}), -2);
    QCOMPARE(RunProcess::execute("sleep", {"60"}, 300), -1);
    QCOMPARE(log.warnings(), QStringList(warning.arg("sleep")));
}

// Quitting ends the tool on purpose: said so in the log, no crash reported,
// no complaint from Qt about a process destroyed while running. Last: a quit
// of the whole program leaves no event loop of this process running again.
void TestRunProcess::quitEndsToolDeliberately()
{
    QTemporaryDir dir;
    const QString pidFile = dir.filePath("pid");
    const QStringList said{"Ukoncujem pomocny nastroj, aplikacia sa ukoncuje: \"sh\""};
    // Asked by the main instance's quit, or found running when a quit of
    // the program ended every loop.
    const QList<std::function<void()>> quits = {[]() { RunProcess::endAll(); }, []() { QCoreApplication::exit(0); }};
    for (const auto &quit : quits) {
        MessageLog log;
        RunProcess p;
        QTimer::singleShot(300, quit);
        QVERIFY(!p.start("sh", {"-c", "echo $$ > " + pidFile + "; exec sleep 60"}, QByteArray(), false));
        QVERIFY(!p.timedOut());
        QVERIFY(gone(toolPid(pidFile)));
        QCOMPARE(log.messages(), said);
    }
}

QTEST_GUILESS_MAIN(TestRunProcess)
#include "tst_runprocess.moc"
