#include "logger.h"
#include "testsupport.h"
#include "utils.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

using namespace TestSupport;

// This process's standard error, caught in a file while the object lives.
class CaughtStderr
{
public:
    CaughtStderr()
    {
        file.open();
        fflush(stderr);
        saved = ::dup(2);
        ::dup2(file.handle(), 2);
    }
    ~CaughtStderr()
    {
        fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
    }
    QByteArray content()
    {
        fflush(stderr);
        return readAll(file.fileName());
    }

private:
    QTemporaryFile file;
    int saved = -1;
};

class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    void formatMessage();
    void levelsNewestFirst();
    void warningBeforeApplication();
    void criticalBeforeApplicationIsSilent();
    void errorBoxShowsTheLog_data();
    void errorBoxShowsTheLog();
    void errorBoxOnScreen();
    void logFilePerProcess();
    void noLogDirectoryNoFile();
    void runsCollapsedEverywhere();
    void memoryKeepsNewestLines();
};

void TestLogger::formatMessage()
{
    const QMessageLogContext context("zdroj.cpp", 42, "void f(int)", "default");
    QCOMPARE(Logger::formatMessage("W", context, "url http://x/%1%3?a=%2 100%"),
             QString("[W] url http://x/%1%3?a=%2 100% (zdroj.cpp:42, void f(int))\n"));
    // Our own calls carry no context.
    QCOMPARE(Logger::formatMessage("I", QMessageLogContext(), "Startujem..."), QString("[I] Startujem... (:0, )\n"));
    QCOMPARE(Logger::formatMessage("D", QMessageLogContext(), QString()), QString("[D]  (:0, )\n"));
}

void TestLogger::levelsNewestFirst()
{
    const QMessageLogContext none;
    Logger::messageHandler(QtDebugMsg, none, "prvy");
    Logger::messageHandler(QtInfoMsg, none, "druhy");
    Logger::messageHandler(QtWarningMsg, none, "treti %1");
    Logger::messageHandler(static_cast<QtMsgType>(42), none, "stvrty");
    QVERIFY(Logger::getMessages().startsWith("[U] stvrty (:0, )\n"
                                             "[W] treti %1 (:0, )\n"
                                             "[I] druhy (:0, )\n"
                                             "[D] prvy (:0, )\n"));
    Logger::messageHandler(QtDebugMsg, none, "piaty");
    QVERIFY(Logger::getMessages().startsWith("[D] piaty (:0, )\n[U] stvrty (:0, )\n"));
}

void TestLogger::warningBeforeApplication()
{
    const ChildResult r = run(helperPath("loggerprobe"), {"warn"}, offscreen());
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.contains("[W] Sonda pred aplikaciou \"%1 %3\" (:0, )\n"), r.err.constData());
}

void TestLogger::criticalBeforeApplicationIsSilent()
{
    // A box under offscreen would wait for ever; the timeout would show it.
    QElapsedTimer timer;
    timer.start();
    const ChildResult r = run(helperPath("loggerprobe"), {"before"}, offscreen(), 20000);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 255);
    QVERIFY(timer.elapsed() < 15000);
    QVERIFY2(r.err.endsWith("[W] Sonda pred aplikaciou \"%1 %3\" (:0, )\n"
                            "[C] Kriticka chyba pred aplikaciou (:0, )\n"),
             r.err.constData());
    QVERIFY(r.out.isEmpty());
}

void TestLogger::errorBoxShowsTheLog_data()
{
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("informative");
    QTest::addColumn<QString>("detailsButton");
    QTest::newRow("sk") << "sk" << QString::fromUtf8("Nastala závažná chyba: Kriticka chyba \"100%1\"")
                        << QString::fromUtf8("Aplikácia bude ukončená.") << QString::fromUtf8("Zobraziť detaily…");
    // The English catalogue drops the trailing space of the source text.
    QTest::newRow("en") << "en"
                        << "A critical error occured:Kriticka chyba \"100%1\""
                        << "Application will be terminated."
                        << "Show Details...";
}

void TestLogger::errorBoxShowsTheLog()
{
    QFETCH(QString, lang);
    QFETCH(QString, text);
    QFETCH(QString, informative);
    QFETCH(QString, detailsButton);
    TestHome home;
    const ChildResult r = run(helperPath("errorboxreader"), {lang}, offscreen(), 30000);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 255);
    const QJsonObject box = QJsonDocument::fromJson(r.out).object();
    QVERIFY2(!box.isEmpty(), r.out.constData());
    QCOMPARE(box.value("class").toString(), QString("QMessageBoxResize"));
    QCOMPARE(box.value("icon").toInt(), int(QMessageBox::Critical));
    QCOMPARE(box.value("text").toString(), text);
    QCOMPARE(box.value("informative").toString(), informative);
    QVERIFY(box.value("width").toInt() >= 800);
    QStringList buttons;
    for (const QJsonValue &b : box.value("buttons").toArray())
        buttons << b.toString();
    QVERIFY2(buttons.contains("OK") && buttons.contains(detailsButton), qPrintable(buttons.join('|')));

    // The details are the whole log, the critical line on top.
    const QString details = box.value("details").toString();
    QVERIFY2(details.startsWith("[C] Kriticka chyba \"100%1\" (:0, )\n[W] Pred chybou (:0, )\n"), qPrintable(details));
    // Lines logged while the box is open come after the snapshot.
    QStringList lines = QString::fromLocal8Bit(r.err).split('\n', Qt::SkipEmptyParts);
    const int critical = lines.indexOf(QRegularExpression("^\\[C\\] .*"));
    QVERIFY(critical >= 0);
    lines = lines.mid(0, critical + 1);
    std::reverse(lines.begin(), lines.end());
    QCOMPARE(details, lines.join('\n') + '\n');
}

void TestLogger::errorBoxOnScreen()
{
    TestHome home;
    Xvfb x;
    QVERIFY(x.isRunning());
    QProcess probe;
    probe.setProcessEnvironment(x.environment());
    probe.start(helperPath("loggerprobe"), {"after"});
    QVERIFY(probe.waitForStarted());
    const QStringList windows = x.windowsOf(probe.processId());
    QVERIFY(!windows.isEmpty());
    // The process waits for the user.
    QVERIFY(!probe.waitForFinished(300));
    x.screenshot("critical-error-box");
    QVERIFY(x.pressKey(windows.first(), "Return"));
    QVERIFY(probe.waitForFinished(20000));
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), 255);
    QVERIFY(probe.readAllStandardError().contains("[C] Kriticka chyba s aplikaciou (:0, )\n"));
}

void TestLogger::logFilePerProcess()
{
    TestHome home;
    QVERIFY(QDir().mkpath(Utils::dirLog()));
    const QDateTime begin = QDateTime::currentDateTime().addSecs(-1);
    // Started together, so most likely within the same second.
    QProcess first, second;
    for (QProcess *p : {&first, &second}) {
        p->setProcessEnvironment(offscreen());
        p->start(helperPath("loggerprobe"), {"warn"});
    }
    QVERIFY(first.waitForStarted() && second.waitForStarted());
    const QMap<qint64, QProcess *> byPid{{first.processId(), &first}, {second.processId(), &second}};
    QVERIFY(first.waitForFinished() && second.waitForFinished());
    const QDateTime end = QDateTime::currentDateTime().addSecs(1);

    const QStringList files = QDir(Utils::dirLog()).entryList(QDir::Files);
    QCOMPARE(files.size(), 2);
    const QRegularExpression pattern("^(\\d{8}_\\d{6})_(\\d+)\\.txt$");
    for (const QString &name : files) {
        const QRegularExpressionMatch m = pattern.match(name);
        QVERIFY2(m.hasMatch(), qPrintable(name));
        const QDateTime stamp = QDateTime::fromString(m.captured(1), "yyyyMMdd_HHmmss");
        QVERIFY2(stamp >= begin && stamp <= end, qPrintable(name));
        QProcess *owner = byPid.value(m.captured(2).toLongLong());
        QVERIFY2(owner, qPrintable(name));
        // The file holds exactly this process's lines.
        const QByteArray content = readAll(Utils::dirLog() + "/" + name);
        QVERIFY(content.contains("[W] Sonda pred aplikaciou \"%1 %3\" (:0, )\n"));
        QCOMPARE(content, owner->readAllStandardError());
    }
}

void TestLogger::noLogDirectoryNoFile()
{
    TestHome home;
    const ChildResult r = run(helperPath("loggerprobe"), {"warn"}, offscreen());
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.err.contains("[W] Sonda pred aplikaciou"));
    QVERIFY(QFileInfo::exists(Utils::fileConfig()));
    QVERIFY(!QFileInfo::exists(Utils::dirLog()));
    QCOMPARE(QDir(Utils::dirConfig()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList("config.ini"));
}

void TestLogger::runsCollapsedEverywhere()
{
    TestHome home;
    QVERIFY(QDir().mkpath(Utils::dirLog()));
    CaughtStderr err;
    // Only for the log file; the test's own handler comes back at once.
    const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
    Logger::installMessageHandler();
    qInstallMessageHandler(testHandler);

    const QMessageLogContext none;
    for (const char *msg : {"zaciatok", "rovnaky", "rovnaky", "rovnaky", "iny", "dalsi", "dalsi", "koniec"})
        Logger::messageHandler(QtWarningMsg, none, msg);
    const QByteArray written = "[W] zaciatok (:0, )\n"
                               "[W] rovnaky (:0, )\n"
                               "[W] rovnaky (:0, ) x2\n"
                               "[W] iny (:0, )\n"
                               "[W] dalsi (:0, )\n"
                               "[W] dalsi (:0, ) x1\n"
                               "[W] koniec (:0, )\n";
    QVERIFY2(err.content().endsWith(written), err.content().constData());
    const QStringList files = QDir(Utils::dirLog()).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    const QString logFile = Utils::dirLog() + "/" + files.first();
    QCOMPARE(readAll(logFile), written);
    QStringList lines = QString::fromUtf8(written).split('\n', Qt::SkipEmptyParts);
    std::reverse(lines.begin(), lines.end());
    QVERIFY(Logger::getMessages().startsWith(lines.join('\n') + '\n'));

    // A run still going is counted in memory at once, elsewhere when it ends.
    for (int i = 0; i < 4; ++i)
        Logger::messageHandler(QtInfoMsg, none, "posledny");
    QVERIFY(Logger::getMessages().startsWith("[I] posledny (:0, ) x3\n[I] posledny (:0, )\n[W] koniec (:0, )\n"));
    QVERIFY(err.content().endsWith("[W] koniec (:0, )\n[I] posledny (:0, )\n"));
    Logger::flushRepeats();
    QVERIFY(err.content().endsWith("[I] posledny (:0, )\n[I] posledny (:0, ) x3\n"));
    QVERIFY(readAll(logFile).endsWith("[I] posledny (:0, )\n[I] posledny (:0, ) x3\n"));
    QCOMPARE(Logger::getMessages().count("posledny"), 2);
}

void TestLogger::memoryKeepsNewestLines()
{
    CaughtStderr err;
    const QMessageLogContext none;
    const int count = Logger::maxMessages + 5;
    for (int i = 0; i < count; ++i)
        Logger::messageHandler(QtDebugMsg, none, QString("riadok %1").arg(i));
    const QString all = Logger::getMessages();
    QCOMPARE(all.count('\n'), Logger::maxMessages);
    QVERIFY(all.startsWith(QString("[D] riadok %1 (:0, )\n").arg(count - 1)));
    QVERIFY(all.endsWith("[D] riadok 5 (:0, )\n"));
    QVERIFY(!all.contains("[D] riadok 4 (:0, )\n"));
    // Standard error is not cut.
    QCOMPARE(err.content().count("[D] riadok "), count);
}

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
