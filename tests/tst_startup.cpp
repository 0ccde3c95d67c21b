#include "testsupport.h"
#include "utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTest>

using namespace TestSupport;

static const QByteArray USAGE = "Použitie:\n"
                                "-h\t tento text\n"
                                "-i\t zaregistruje aplikáciu\n"
                                "-u\t odregistruje aplikáciu\n"
                                "-s\t spusti hlavnú čast aplikácie\n"
                                "-l\t spusti alebo presmeruje cez stdout na hlavnú časť aplikácie\n"
                                "-q\t tichý režim\n";

// A child that would show the language dialog under offscreen never ends,
// so a normal end within the time limit also proves that no dialog came up.
static const int QUICK_MS = 30000;

static QString storedLanguage()
{
    return QSettings(Utils::fileConfig(), QSettings::IniFormat).value("lang").toString();
}

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void usage();
    void helpWins_data();
    void helpWins();
    void optionsAreWholeArguments_data();
    void optionsAreWholeArguments();
    void installRolesEnd_data();
    void installRolesEnd();
    void storedLanguageNormalised_data();
    void storedLanguageNormalised();
    void presetBesideExecutable_data();
    void presetBesideExecutable();
    void firstRunDialog_data();
    void firstRunDialog();
    void noDisplayToOpen();
    void configurationIsPrivate();
};

void TestStartup::usage()
{
    TestHome home;
    storeLanguage("sk");
    const ChildResult r = runKavrel({"-h"}, offscreen(), QUICK_MS);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, USAGE);
    QVERIFY2(r.err.contains("[I] Startujem... (\"" + kavrelPath().toUtf8() + "\", \"-h\") (:0, )\n"),
             r.err.constData());
}

void TestStartup::helpWins_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("-u -h") << QStringList{"-u", "-h"};
    QTest::newRow("-h -u") << QStringList{"-h", "-u"};
    QTest::newRow("-i -h") << QStringList{"-i", "-h"};
    QTest::newRow("-s -h") << QStringList{"-s", "-h"};
    QTest::newRow("-s -i -u -h") << QStringList{"-s", "-i", "-u", "-h"};
    QTest::newRow("-q -h") << QStringList{"-q", "-h"};
    QTest::newRow("-h -q -u") << QStringList{"-h", "-q", "-u"};
    QTest::newRow("url -h") << QStringList{"obrenta-kavrel:?ports=1", "-h"};
}

void TestStartup::helpWins()
{
    QFETCH(QStringList, args);
    TestHome home;
    storeLanguage("sk");
    const ChildResult r = runKavrel(args, offscreen(), QUICK_MS);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, USAGE);
    // Nothing else ran: uninstalling would have taken the settings away.
    QCOMPARE(storedLanguage(), QString("sk"));
    QVERIFY(!QFileInfo::exists(Utils::fileInstallation()));
}

void TestStartup::optionsAreWholeArguments_data()
{
    QTest::addColumn<QString>("notAnOption");
    QTest::newRow("upper case") << "-H";
    QTest::newRow("double hyphen") << "--h";
    QTest::newRow("joined") << "-hs";
    QTest::newRow("trailing space") << "-h ";
}

void TestStartup::optionsAreWholeArguments()
{
    QFETCH(QString, notAnOption);
    TestHome home;
    storeLanguage("sk");
    // Carried by -i, which ends at once whatever else is on the line.
    const ChildResult r = runKavrel({notAnOption, "-i"}, offscreen(), QUICK_MS);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(!r.out.contains("Použitie:"), r.out.constData());
}

void TestStartup::installRolesEnd_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("-i") << QStringList{"-i"};
    QTest::newRow("-q -i") << QStringList{"-q", "-i"};
    QTest::newRow("-u -q") << QStringList{"-u", "-q"};
    // The main instance would keep running: these must not reach it.
    QTest::newRow("-u -s") << QStringList{"-u", "-s"};
    QTest::newRow("-s -i") << QStringList{"-s", "-i"};
}

void TestStartup::installRolesEnd()
{
    QFETCH(QStringList, args);
    TestHome home;
    storeLanguage("sk");
    const ChildResult r = runKavrel(args, offscreen(), QUICK_MS);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.isEmpty());
}

void TestStartup::storedLanguageNormalised_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("rewritten");
    QTest::newRow("en") << "en"
                        << "en";
    QTest::newRow("sk") << "sk"
                        << "sk";
    QTest::newRow("EN") << "EN"
                        << "sk";
    QTest::newRow("de") << "de"
                        << "sk";
    QTest::newRow("en_US") << "en_US"
                           << "sk";
}

void TestStartup::storedLanguageNormalised()
{
    QFETCH(QString, stored);
    QFETCH(QString, rewritten);
    TestHome home;
    storeLanguage(stored);
    const ChildResult r = runKavrel({"-h"}, offscreen(), QUICK_MS);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, USAGE);
    QCOMPARE(storedLanguage(), rewritten);
}

void TestStartup::presetBesideExecutable_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("expected");
    QTest::newRow("en") << "en" << QString() << "en";
    QTest::newRow("EN normalised") << "EN" << QString() << "sk";
    QTest::newRow("user's choice wins") << "en"
                                        << "sk"
                                        << "sk";
}

void TestStartup::presetBesideExecutable()
{
    QFETCH(QString, preset);
    QFETCH(QString, user);
    QFETCH(QString, expected);
    TestHome home;
    QTemporaryDir installation;
    const QString executable = installation.path() + "/kavrel";
    QVERIFY(QFile::copy(kavrelPath(), executable));
    const QByteArray presetContent = "[General]\nlang=" + preset.toUtf8() + "\n";
    QVERIFY(writeFile(installation.path() + "/config.ini", presetContent));
    if (!user.isEmpty())
        storeLanguage(user);

    const ChildResult r = run(executable, {"-h"}, offscreen(), QUICK_MS);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, USAGE);
    QCOMPARE(storedLanguage(), expected);
    // Read, never written.
    QCOMPARE(readAll(installation.path() + "/config.ini"), presetContent);
    if (user.isEmpty()) {
        QCOMPARE(fileMode(home.path() + "/.obrenta"), 0700);
        QCOMPARE(fileMode(Utils::dirConfig()), 0700);
    }
}

void TestStartup::firstRunDialog_data()
{
    QTest::addColumn<QString>("systemLang");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");
    QTest::newRow("English system, Return") << "en_US.UTF-8"
                                            << "Return"
                                            << "en";
    QTest::newRow("English system, Escape") << "en_US.UTF-8"
                                            << "Escape"
                                            << "sk";
    QTest::newRow("Slovak system, Return") << "sk_SK.UTF-8"
                                           << "Return"
                                           << "sk";
    QTest::newRow("C locale, Return") << "C"
                                      << "Return"
                                      << "sk";
}

void TestStartup::firstRunDialog()
{
    QFETCH(QString, systemLang);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    TestHome home;
    Xvfb x;
    QVERIFY(x.isRunning());
    QProcessEnvironment env = x.environment();
    for (const QString &name : env.keys())
        if (name.startsWith("LC_") || name == "LANGUAGE")
            env.remove(name);
    env.insert("LANG", systemLang);

    QProcess kavrel;
    kavrel.setProcessEnvironment(env);
    kavrel.start(kavrelPath(), {"-h"});
    QVERIFY(kavrel.waitForStarted());
    const QStringList windows = x.windowsOf(kavrel.processId());
    QVERIFY(!windows.isEmpty());
    // The language comes first, the usage only once it is settled.
    QVERIFY(!kavrel.waitForFinished(300));
    QVERIFY(kavrel.readAllStandardOutput().isEmpty());
    QVERIFY(!QFileInfo::exists(Utils::fileConfig()));
    if (QTest::currentDataTag() == QLatin1String("English system, Return"))
        x.screenshot("language-dialog");

    QVERIFY(x.pressKey(windows.first(), key));
    QVERIFY(kavrel.waitForFinished(QUICK_MS));
    QCOMPARE(kavrel.exitStatus(), QProcess::NormalExit);
    QCOMPARE(kavrel.exitCode(), 0);
    QCOMPARE(kavrel.readAllStandardOutput(), USAGE);
    QCOMPARE(storedLanguage(), expected);
    QCOMPARE(fileMode(home.path() + "/.obrenta"), 0700);
    QCOMPARE(fileMode(Utils::dirConfig()), 0700);

    // Asked once only.
    const ChildResult again = runKavrel({"-h"}, offscreen(), QUICK_MS);
    QCOMPARE(again.exitStatus, QProcess::NormalExit);
    QCOMPARE(again.out, USAGE);
    QCOMPARE(storedLanguage(), expected);
}

// Qt gives up before the application object is made; there is no box to
// show then, and the agent ends with its critical status instead of crashing.
void TestStartup::noDisplayToOpen()
{
    TestHome home;
    storeLanguage("sk");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", ":999");
    const ChildResult r = runKavrel({"-h"}, env, QUICK_MS);
    QCOMPARE(r.exitStatus, QProcess::NormalExit);
    QCOMPARE(r.exitCode, 255);
    QVERIFY2(r.err.contains("[F] This application failed to start"), r.err.constData());
}

// config.ini holds the server token: files an older version left wider are
// narrowed at the next start, and nothing stored is lost on the way.
void TestStartup::configurationIsPrivate()
{
    TestHome home;
    const QByteArray config = "[General]\nlang=en\n\n[server]\ntoken=abc\n";
    QVERIFY(writeFile(Utils::fileConfig(), config));
    QVERIFY(QFile::setPermissions(Utils::fileConfig(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    QVERIFY(QFile::setPermissions(Utils::dirConfig(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                      | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    const ChildResult r = runKavrel({"-h"}, offscreen(), QUICK_MS);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(fileMode(Utils::dirConfig()), 0700);
    QCOMPARE(fileMode(Utils::fileConfig()), 0600);
    QCOMPARE(readAll(Utils::fileConfig()), config);
    QCOMPARE(QDir(Utils::dirConfig()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList("config.ini"));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
