#include "messagelog.h"
#include "runprocess.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

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
};

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

QTEST_GUILESS_MAIN(TestRunProcess)
#include "tst_runprocess.moc"
