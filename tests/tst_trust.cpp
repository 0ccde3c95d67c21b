#include "browsers.h"
#include "certificategenerator.h"
#include "childprocess.h"
#include "modalwidgets.h"
#include "settingsdialog.h"
#include "testsupport.h"
#include "utils.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

using namespace TestSupport;

static const int START_MS = 60000;

static void makeDatabase(const QString &dir, const QStringList &password = {"--empty-password"})
{
    QVERIFY(QDir().mkpath(dir));
    QCOMPARE(runTool("certutil", QStringList{"-N", "-d", "sql:" + dir} + password), QString());
}

static QString caName()
{
    return agentCa().subjectInfo(QSslCertificate::CommonName).value(0);
}

// The trust string of the current agent CA in a database, empty when absent;
// with count, how many agent CAs it holds.
static QString caTrust(const QString &dir, int *count = nullptr)
{
    const QString listing = runTool("certutil", {"-L", "-d", "sql:" + dir});
    if (count)
        *count = listing.count("Obrenta Kavrel CA ");
    return QRegularExpression("^" + QRegularExpression::escape(caName()) + "\\s+(\\S+)\\s*$",
                              QRegularExpression::MultilineOption)
        .match(listing)
        .captured(1);
}

static QDateTime utc(const QString &moment)
{
    QDateTime time = QDateTime::fromString(moment, "yyyy-MM-dd HH:mm:ss");
    time.setTimeSpec(Qt::UTC);
    return time;
}

// Certificates that last and are renewed, a report of where browsers trust
// them, and stores that appear while the agent runs.
class TestTrust : public QObject
{
    Q_OBJECT

private slots:
    void renewedOnceBeforeItEnds();
    void reportOfEveryStore();
    void storesMadeWhileRunning();

private:
    // The real agent, its clock (and its tools') at moment when one is given.
    void start(ChildProcess &agent, const QString &moment = QString());
    void stop(ChildProcess &agent);
    // A TLS client with its clock at moment verifies the chain and the name.
    void clientTrusts(const QString &moment);
    // Answers the notice of a running agent, and the outcome box after OK.
    void answerNotice(ChildProcess &agent, const char *key);

    Xvfb display;
};

void TestTrust::start(ChildProcess &agent, const QString &moment)
{
    QVERIFY(display.isRunning());
    QProcessEnvironment env = display.environment();
    env.insert("PATH", pathWithHelpers());
    if (!moment.isEmpty()) {
        // Debian's faketime, in the directory of this machine's architecture.
        const QStringList found = QDir("/usr/lib").entryList({"*-linux-*"}, QDir::Dirs);
        QString library;
        for (const QString &arch : found)
            if (QFileInfo::exists("/usr/lib/" + arch + "/faketime/libfaketimeMT.so.1"))
                library = "/usr/lib/" + arch + "/faketime/libfaketimeMT.so.1";
        QVERIFY2(!library.isEmpty(), "Debian's faketime is not installed");
        env.insert("LD_PRELOAD", library);
        env.insert("FAKETIME", "@" + moment);
        // Timers keep to the real clock.
        env.insert("FAKETIME_DONT_FAKE_MONOTONIC", "1");
        // A sanitizer build wants its runtime first; the preloaded clock
        // comes before it and changes nothing it checks.
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    }
    agent.setProcessEnvironment(env);
    agent.start(kavrelPath(), {"-s"});
    QVERIFY(agent.waitForStarted());
}

void TestTrust::stop(ChildProcess &agent)
{
    QCOMPARE(TestSupport::signalProcess(agent.processId(), SIGTERM), 0);
    QVERIFY(agent.ended());
    QCOMPARE(agent.exitCode(), 0);
}

void TestTrust::clientTrusts(const QString &moment)
{
    const QUrl server(Utils::readServerUrls(readAll(Utils::fileState())).value(0));
    const QString out =
        runTool("sh",
                {"-c",
                 QString("echo | openssl s_client -connect 127.0.0.1:%1 -servername kavrel.localhost "
                         "-verify_hostname kavrel.localhost -verify_return_error -CAfile '%2' -attime %3 2>&1")
                     .arg(server.port())
                     .arg(Utils::fileCertificateCa())
                     .arg(utc(moment).toSecsSinceEpoch())});
    QVERIFY2(out.contains("Verify return code: 0 (ok)"), qPrintable(out));
}

void TestTrust::answerNotice(ChildProcess &agent, const char *key)
{
    const QStringList notice = display.dialogsOf(agent.processId(), START_MS);
    QVERIFY2(notice.size() == 1, qPrintable(agent.errText()));
    QCOMPARE(display.windowName(notice.first()), QString("Inštalácia certifikátu"));
    QVERIFY(display.pressKey(notice.first(), key));
    if (QString(key) == "Return") {
        const QStringList outcome = display.nextDialogsOf(agent.processId(), notice);
        QCOMPARE(outcome.size(), 1);
        QVERIFY2(!agent.errText().contains("Nepodarilo sa pridat"), qPrintable(agent.errText()));
        QVERIFY(display.pressKey(outcome.first(), "Return"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(display.dialogsOf(agent.processId(), 0).isEmpty(), START_MS);
}

// Made in 1988, a set serves fifty years; three months before its end a start
// makes a new one, once, and the store trades the old CA for the new. Past
// 2049 its end is read right; a set long over, or not valid yet because the
// clock went back, is made anew too, each with its reason in the log.
void TestTrust::renewedOnceBeforeItEnds()
{
    TestHome home;
    storeLanguage();
    const QString shared = home.path() + "/.pki/nssdb";
    makeDatabase(shared);
    ChildProcess made, renewed, kept, expired, early;
    start(made, "1988-03-10 12:00:00");
    confirmNotice(display, made, "1988");
    clientTrusts("2038-03-09 11:59:00");
    stop(made);
    const QString oldSet = home.path() + "/old-set";
    QCOMPARE(runTool("cp", {"-a", Utils::dirCertificates(), oldSet}), QString());

    start(renewed, "2038-02-01 12:00:00");
    confirmNotice(display, renewed, "2038");
    QCOMPARE(renewed.errText().count("Platnost certifikatu sa skonci o menej ako 90 dni, vytvaram novu sadu:"), 1);
    clientTrusts("2038-02-01 12:00:00");
    QVERIFY(qAbs(agentCa().effectiveDate().secsTo(utc("2038-01-31 12:00:00"))) < 60);
    int cas = 0;
    QCOMPARE(caTrust(shared, &cas), QString("C,,"));
    QCOMPARE(cas, 1);
    const QString second = caName();
    stop(renewed);

    start(kept, "2060-06-01 12:00:00");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(Utils::fileState()), START_MS);
    QVERIFY(display.dialogsOf(kept.processId(), 0).isEmpty());
    clientTrusts("2088-01-31 11:59:00");
    QCOMPARE(caName(), second);
    stop(kept);

    QVERIFY(QDir(Utils::dirCertificates()).removeRecursively());
    QVERIFY(QDir().rename(oldSet, Utils::dirCertificates()));
    start(expired, "2060-06-01 12:00:00");
    confirmNotice(display, expired, "2060");
    QCOMPARE(expired.errText().count("Platnost certifikatu skoncila, vytvaram novu sadu:"), 1);
    clientTrusts("2060-06-01 12:00:00");
    stop(expired);

    start(early);
    confirmNotice(display, early, "today");
    QCOMPARE(early.errText().count("Certifikat este nie je platny, vytvaram novu sadu:"), 1);
    stop(early);
}

// Real databases in every state the report knows; the user opens the
// certificates page, reads where the browsers stand and repairs what can be.
void TestTrust::reportOfEveryStore()
{
    TestHome home;
    QVERIFY(CertificateGenerator().generate());
    const QString h = home.path(), firefox = qEnvironmentVariable("XDG_CONFIG_HOME") + "/mozilla/firefox";
    const QString shared = h + "/.pki/nssdb", chromium = qEnvironmentVariable("XDG_DATA_HOME") + "/pki/nssdb";
    makeDatabase(shared);
    QCOMPARE(runTool("certutil",
                     {"-A", "-t", "C,,", "-n", caName(), "-i", Utils::fileCertificateCa(), "-d", "sql:" + shared}),
             QString());
    makeDatabase(chromium);
    makeDatabase(firefox + "/untrusted");
    QCOMPARE(runTool("certutil",
                     {"-A", "-t", ",,", "-n", caName(), "-i", Utils::fileCertificateCa(), "-d",
                      "sql:" + firefox + "/untrusted"}),
             QString());
    QVERIFY(writeFile(h + "/password", "secret\n"));
    makeDatabase(firefox + "/password", {"-f", h + "/password"});
    QVERIFY(writeFile(firefox + "/broken/cert9.db", "not a database"));
    QVERIFY(QDir().mkpath(firefox + "/hung"));
    QCOMPARE(::mkfifo(QFile::encodeName(firefox + "/hung/cert9.db").constData(), 0600), 0);
    QVERIFY(writeFile(firefox + "/profiles.ini",
                      "[Profile0]\nIsRelative=1\nPath=untrusted\n"
                      "[Profile1]\nIsRelative=1\nPath=password\n"
                      "[Profile2]\nIsRelative=1\nPath=broken\n"
                      "[Profile3]\nIsRelative=1\nPath=hung\n"));

    SettingsDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto *tabs = dialog.findChild<QTabWidget *>("settingsTabs");
    QCOMPARE(tabs->tabText(1), QString("Certifikáty"));
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(1).center());
    auto *list = dialog.findChild<QTreeWidget *>("trustList");
    auto *repair = dialog.findChild<QPushButton *>("btnTrustRepair");
    const auto rows = [list] {
        QStringList texts;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            texts << list->topLevelItem(i)->text(0) + " | " + list->topLevelItem(i)->text(1) + " | "
                    + list->topLevelItem(i)->text(2);
        return texts;
    };
    QTRY_VERIFY_WITH_TIMEOUT(list->topLevelItemCount() > 0
                                 && dialog.findChild<QPushButton *>("btnTrustRefresh")->isEnabled(),
                             START_MS);
    QStringList expected{"Chromium a ďalšie programy NSS | Dôveruje | " + shared,
                         "Chromium | Certifikát chýba | " + chromium,
                         "Mozilla Firefox | Prítomný, ale nedôveryhodný | " + firefox + "/untrusted",
                         "Mozilla Firefox | Nedá sa skontrolovať: chránená heslom | " + firefox + "/password",
                         "Mozilla Firefox | Nedá sa skontrolovať: zamknutá alebo poškodená | " + firefox + "/broken",
                         "Mozilla Firefox | Nedá sa skontrolovať: neodpovedá | " + firefox + "/hung"};
    QCOMPARE(rows(), expected);
    QVERIFY(dialog.grab().save(artifactsDir() + "/trust-report.png"));

    // The notice, then the box that tells that not every store could be served.
    QString outcome;
    whenVisible(
        [] {
            QWidget *modal = QApplication::activeModalWidget();
            return modal && modal->objectName() == "CertificateDialog" ? modal : nullptr;
        },
        [&](QWidget *notice) {
            whenVisible([] { return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()); },
                        [&](QWidget *box) {
                            auto *message = static_cast<QMessageBox *>(box);
                            outcome = message->text();
                            QTest::mouseClick(message->button(QMessageBox::Ok), Qt::LeftButton);
                        });
            QTest::mouseClick(notice->findChild<QDialogButtonBox *>("buttonBox")->button(QDialogButtonBox::Ok),
                              Qt::LeftButton);
        });
    QTest::mouseClick(repair, Qt::LeftButton);
    QCOMPARE(outcome, QString("Pri pridávaní certifikátu nastala jedna alebo viac chýb."));
    for (int row : {1, 2})
        expected[row] = expected[row].section(" | ", 0, 0) + " | Dôveruje | " + expected[row].section(" | ", 2);
    QCOMPARE(rows(), expected);
    QCOMPARE(caTrust(chromium), QString("C,,"));
    QVERIFY(repair->isEnabled());
}

// A user with no browser yet starts the agent, then runs Firefox and
// Chromium for the first time: each new store is offered the CA while the
// agent runs on; one the user declined is not asked about again.
void TestTrust::storesMadeWhileRunning()
{
    TestHome home;
    seedAgentHome();
    ChildProcess agent;
    start(agent);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(Utils::fileState()), START_MS);
    QVERIFY(display.dialogsOf(agent.processId(), 0).isEmpty());

    const QString firefox = Browsers::firstFirefoxRun();
    QVERIFY(!firefox.isEmpty());
    answerNotice(agent, "Return");
    QCOMPARE(caTrust(firefox), QString("C,,"));
    QVERIFY(agent.errText().contains("Nova databaza certifikatov: \"" + firefox + "\" neduveruje CA"));
    const QString chromium = Browsers::firstChromiumRun();
    QVERIFY(!chromium.isEmpty());
    answerNotice(agent, "Return");
    QCOMPARE(caTrust(chromium), QString("C,,"));

    const QString profiles = qEnvironmentVariable("XDG_CONFIG_HOME") + "/mozilla/firefox";
    QVERIFY(writeFile(profiles + "/profiles.ini",
                      readAll(profiles + "/profiles.ini") + "\n[Profile8]\nIsRelative=1\nPath=declined\n"));
    makeDatabase(profiles + "/declined");
    answerNotice(agent, "Escape");
    QVERIFY(writeFile(profiles + "/declined/touched", "x"));
    QVERIFY(display.dialogsOf(agent.processId(), 5000).isEmpty());
    QCOMPARE(caTrust(profiles + "/declined"), QString());
    stop(agent);
}

QTEST_MAIN(TestTrust)
#include "tst_trust.moc"
