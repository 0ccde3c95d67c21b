// A home whose files were damaged or replaced: the main instance heals what
// is its own, touches nothing outside its directory, never waits forever on a
// helper tool, and ends the ones still running when it is asked to quit.
#include "childprocess.h"
#include "testsupport.h"
#include "utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

static const int START_MS = 60000;

static QProcessEnvironment agentEnvironment(const QString &path = pathWithHelpers(), const Xvfb *display = nullptr)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", path);
    return display ? display->environment(env) : offscreen(env);
}

static void startAgent(ChildProcess &agent, const QProcessEnvironment &env)
{
    agent.setProcessEnvironment(env);
    agent.start(kavrelPath(), {"-s"});
    QVERIFY(agent.waitForStarted(10000));
}

static void stop(ChildProcess &agent)
{
    QCOMPARE(TestSupport::signalProcess(agent.processId(), SIGTERM), 0);
    QVERIFY(agent.ended());
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), 0);
}

static QString stateLine()
{
    static const QRegularExpression line("^wss://kavrel\\.localhost:\\d+/master/[0-9a-f-]{36}\n$");
    const QString state = QString::fromUtf8(readAll(Utils::fileState()));
    return line.match(state).hasMatch() ? state : QString();
}

static QString setting(const QString &key)
{
    return QSettings(Utils::fileConfig(), QSettings::IniFormat).value(key).toString();
}

class TestBrokenState : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(QFileInfo(helperPath("javaws")).isExecutable()); }
    void unreadableSettingsHeal();
    void linkAtTemporaryNameIsNotFollowed();
    void hangingCertutilIsEnded();
    void quitEndsRunningWhich();
};

// Bytes Qt cannot read in config.ini: set aside whole under a dated name, a
// warning names it, and the language, token and port are remembered again.
void TestBrokenState::unreadableSettingsHeal()
{
    Xvfb display;
    QVERIFY(display.isRunning());
    TestHome home;
    seedAgentHome();
    QByteArray garbage(4096, '\0');
    for (char &c : garbage)
        c = char(QRandomGenerator::global()->bounded(256));
    garbage.prepend("\x89PNG\r\n\x1a\n");
    QVERIFY(writeFile(Utils::fileConfig(), garbage));

    // The language is asked again, once.
    ChildProcess first;
    startAgent(first, agentEnvironment(pathWithHelpers(), &display));
    const QStringList question = display.dialogsOf(first.processId(), START_MS);
    QCOMPARE(question.size(), 1);
    QVERIFY(display.pressKey(question.first(), "Return"));
    QTRY_VERIFY_WITH_TIMEOUT(!stateLine().isEmpty(), START_MS);
    const QString state = stateLine();
    stop(first);

    const QStringList aside =
        QDir(Utils::dirConfig()).entryList({"config.ini.unreadable-*"}, QDir::Files | QDir::Hidden);
    QCOMPARE(aside.size(), 1);
    QVERIFY2(QRegularExpression("^config\\.ini\\.unreadable-\\d{8}-\\d{6}$").match(aside.first()).hasMatch(),
             qPrintable(aside.first()));
    const QString asidePath = Utils::dirConfig() + "/" + aside.first();
    QCOMPARE(readAll(asidePath), garbage);
    QVERIFY2(first.errText().contains("[W] Subor nastaveni sa neda precitat, odkladam ho ako \"" + asidePath
                                      + "\" a pokracujem s novym: \"" + Utils::fileConfig() + "\""),
             qPrintable(first.errText()));
    QVERIFY(!setting("lang").isEmpty());
    QVERIFY(state.contains("/master/" + setting("server/token")));
    QVERIFY(state.contains(":" + setting("server/kavrel.localhost_port") + "/"));
    QCOMPARE(fileMode(Utils::fileConfig()), 0600);

    // Next start: no question (offscreen, it would never be answered), the
    // same address and token, nothing more set aside.
    ChildProcess next;
    startAgent(next, agentEnvironment());
    QTRY_VERIFY_WITH_TIMEOUT(!stateLine().isEmpty(), START_MS);
    QCOMPARE(stateLine(), state);
    stop(next);
    QVERIFY(!next.errText().contains("Subor nastaveni"));
    QCOMPARE(QDir(Utils::dirConfig()).entryList({"config.ini.unreadable-*"}, QDir::Files | QDir::Hidden), aside);
}

// A link at the state file's old temporary name leads nowhere: the file it
// points to keeps its bytes and mode, and the state file is a file of ours.
void TestBrokenState::linkAtTemporaryNameIsNotFollowed()
{
    TestHome home;
    seedAgentHome();
    const QString outside = home.path() + "/elsewhere/notes.txt";
    QVERIFY(writeFile(outside, "the user's own notes\n"));
    QVERIFY(QFile::setPermissions(outside, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    QVERIFY(QFile::link(outside, Utils::fileStateTmp()));

    ChildProcess agent;
    startAgent(agent, agentEnvironment());
    QTRY_VERIFY_WITH_TIMEOUT(!stateLine().isEmpty(), START_MS);
    QVERIFY(!QFileInfo(Utils::fileState()).isSymLink());
    QCOMPARE(fileMode(Utils::fileState()), 0600);
    QCOMPARE(readAll(outside), QByteArray("the user's own notes\n"));
    QCOMPARE(fileMode(outside), 0644);
    // The link itself, a leftover under our old temporary name, is gone.
    QVERIFY(!QFileInfo(Utils::fileStateTmp()).isSymLink());
    stop(agent);
    QVERIFY(!QFileInfo::exists(Utils::fileState()));
    QCOMPARE(readAll(outside), QByteArray("the user's own notes\n"));
}

// A FIFO in place of a browser's cert9.db holds certutil forever. It is ended
// at its limit, named in the log, that store is not tried again in this
// check, and the start goes on as for any store that fails: the notice, the
// error box, then the server.
void TestBrokenState::hangingCertutilIsEnded()
{
    Xvfb display;
    QVERIFY(display.isRunning());
    TestHome home;
    seedAgentHome();
    const QString store = home.path() + "/.pki/nssdb";
    QVERIFY(QDir().mkpath(store));
    QCOMPARE(::mkfifo(QFile::encodeName(store + "/cert9.db").constData(), 0600), 0);

    ChildProcess agent;
    startAgent(agent, agentEnvironment(pathWithHelpers(), &display));
    const QStringList notice = display.dialogsOf(agent.processId(), START_MS);
    QCOMPARE(notice.size(), 1);
    QCOMPARE(display.windowName(notice.first()), QString("Inštalácia certifikátu"));
    const QString certutil = QFileInfo(kavrelPath()).absolutePath() + "/certutil/certutil";
    QVERIFY2(agent.waitForLog("[W] Pomocny nastroj neskoncil v casovom limite, ukoncujem ho. Aplikacia: \"" + certutil
                              + "\" Limit (ms): 10000"),
             qPrintable(agent.errText()));
    QVERIFY(display.pressKey(notice.first(), "Return"));
    const QStringList outcome = display.nextDialogsOf(agent.processId(), notice, START_MS);
    QVERIFY(!outcome.isEmpty());
    display.screenshot("brokenstate-hanging-certutil");
    QVERIFY(display.pressKey(outcome.first(), "Return"));
    QTRY_VERIFY_WITH_TIMEOUT(!stateLine().isEmpty(), START_MS);
    QVERIFY2(agent.waitForLog("Nepodarilo sa pridat certifikat"), qPrintable(agent.errText()));
    const QString err = agent.errText();
    QCOMPARE(err.count("neskoncil v casovom limite"), 1);
    QCOMPARE(err.count("[W] Databaza certifikatov neodpoveda, dalej ju vynechavam: \"" + store + "\""), 1);
    struct stat st;
    QCOMPARE(::lstat(QFile::encodeName(store + "/cert9.db").constData(), &st), 0);
    QVERIFY(S_ISFIFO(st.st_mode));
    stop(agent);
}

// Asked to quit while the start waits for which: the tool is ended on
// purpose and said so, no crash is reported, and no Java warning follows.
void TestBrokenState::quitEndsRunningWhich()
{
    TestHome home;
    seedAgentHome();
    const QString bin = home.path() + "/bin", marker = home.path() + "/which-runs";
    QVERIFY(writeFile(bin + "/which", "#!/bin/sh\necho $$ > '" + marker.toUtf8() + "'\nexec sleep 60\n"));
    QVERIFY(QFile::setPermissions(bin + "/which", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    ChildProcess agent;
    startAgent(agent, agentEnvironment(bin + ":" + pathWithHelpers()));
    QTRY_VERIFY_WITH_TIMEOUT(!readAll(marker).isEmpty(), START_MS);
    const qint64 which = readAll(marker).trimmed().toLongLong();
    QVERIFY(QFileInfo::exists(QString("/proc/%1").arg(which)));
    stop(agent);
    QVERIFY(!QFileInfo::exists(QString("/proc/%1").arg(which)));
    const QString err = agent.errText();
    QVERIFY2(err.contains("[I] Ukoncujem pomocny nastroj, aplikacia sa ukoncuje: \"which\""), qPrintable(err));
    QVERIFY2(!err.contains("Destroyed while process"), qPrintable(err));
    QVERIFY2(!err.contains("Crashed"), qPrintable(err));
    QVERIFY2(!err.contains("Nepodarilo sa spustit aplikaciu"), qPrintable(err));
    QVERIFY(!QFileInfo::exists(Utils::fileState()));
}

QTEST_MAIN(TestBrokenState)
#include "tst_brokenstate.moc"
