#include "adminpolicy.h"
#include "launchquestion.h"
#include "loopbackproxy.h"
#include "messagelog.h"
#include "server.h"
#include "settingsdialog.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardItemModel>
#include <QTreeView>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

// The administrator's file where the agent reads it, so these cases need
// root; it goes again on every way out, with the directories made for it.
class TestAdminPolicy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { log->clear(); }
    void cleanup() { QDir("/etc/obrenta").removeRecursively(); }
    void fileStates_data();
    void fileStates();
    void decisions_data();
    void decisions();
    void pagesAndLaunches();
    void lockedSettings();

private:
    static void write(const QByteArray &content, int mode = 0644, uid_t owner = 0)
    {
        QVERIFY(QDir().mkpath("/etc/obrenta/kavrel"));
        QVERIFY(writeFile(AdminPolicy::PATH, content));
        QVERIFY(::chmod(QFile::encodeName(AdminPolicy::PATH).constData(), mode_t(mode)) == 0);
        QVERIFY(::chown(QFile::encodeName(AdminPolicy::PATH).constData(), owner, 0) == 0);
    }
    static void configure(const QString &url, const QString &state)
    {
        QVERIFY(Utils::changeConfig([&](QSettings &s) {
            s.setValue(SettingsDialog::newGroup(s) + "/url", url);
            s.setValue(SettingsDialog::findGroup(s, url) + "/state", state);
        }));
    }

    std::unique_ptr<MessageLog> log;
    LoopbackProxy proxy;
};

void TestAdminPolicy::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("needs root: writes the administrator's policy under /etc/obrenta");
    if (QFileInfo::exists("/etc/obrenta"))
        QSKIP("/etc/obrenta exists on this machine; it is not ours to change");
    qputenv("PATH", QFile::encodeName(pathWithHelpers()));
    QCoreApplication::setApplicationVersion(KAVREL_VERSION);
    // After QTest's own handler, or that one would take every message.
    log = std::make_unique<MessageLog>(MessageLog::PassOn);
}

void TestAdminPolicy::fileStates_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("owner");
    QTest::addColumn<QString>("ignoredBecause"); // empty: applied
    const QByteArray only = "[policy]\norigins=https://only.example, http://[::1]:8080\n";
    QTest::newRow("valid") << only << 0644 << 0 << QString();
    QTest::newRow("unknown key") << only + "future=1\n" << 0644 << 0 << QString();
    QTest::newRow("line without a key") << only + "allow\n" << 0644 << 0 << "ma chybny tvar";
    QTest::newRow("bad default") << only + "default=maybe\n" << 0644 << 0 << "ma chybnu hodnotu default";
    QTest::newRow("bad locked") << only + "locked=yes\n" << 0644 << 0 << "ma chybnu hodnotu locked";
    QTest::newRow("origin with a path") << only + "[policy]\norigins=https://a.example/x\n"
                                        << 0644 << 0 << "ma chybny povod v origins";
    QTest::newRow("foreign owner") << only << 0644 << 65534 << "nepatri pouzivatelovi root";
    QTest::newRow("writable by others") << only << 0646 << 0 << "mozu do neho zapisovat";
    QTest::newRow("too big") << only + "; " + QByteArray(70000, 'x') + "\n" << 0644 << 0 << "je vacsi";
    QTest::newRow("a directory") << QByteArray() << 0 << 0 << "nie je obycajny subor";
}

// Applied as a whole, or ignored as a whole with a warning naming the file.
void TestAdminPolicy::fileStates()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(int, owner);
    QFETCH(QString, ignoredBecause);
    QVERIFY(AdminPolicy::read().admitsOrigin(QString()));
    if (mode)
        write(content, mode, uid_t(owner));
    else
        QVERIFY(QDir().mkpath(AdminPolicy::PATH));

    const AdminPolicy policy = AdminPolicy::read();
    const bool applied = ignoredBecause.isEmpty();
    QCOMPARE(policy.admitsOrigin("https://other.example"), !applied);
    QCOMPARE(policy.admitsOrigin(QString()), !applied);
    QVERIFY(policy.admitsOrigin("HTTPS://Only.Example:443") && policy.admitsOrigin("http://[::1]:8080"));
    const QStringList ignored = log->warnings().filter("Subor s pravidlami spravcu sa ignoruje:");
    QCOMPARE(ignored.size(), applied ? 0 : 1);
    if (!applied)
        QVERIFY2(ignored.first().contains("\"" + AdminPolicy::PATH + "\" - \"" + ignoredBecause),
                 qPrintable(ignored[0]));
    QCOMPARE(log->warnings().filter("Neznamy kluc").size(), QTest::currentDataTag() == QString("unknown key") ? 1 : 0);
}

void TestAdminPolicy::decisions_data()
{
    QTest::addColumn<QByteArray>("policy");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("state"); // "new": no group yet; "switched off": no Java Web Start
    QTest::addColumn<int>("decision");
    const int allow = int(LaunchDecision::Allow), refuse = int(LaunchDecision::Refuse), ask = int(LaunchDecision::Ask);
    const QByteArray rules =
        "[policy]\nallow=https://intra.example/*\nrefuse=\"*evil*\", https://intra.example/old/*\n";
    QTest::newRow("refusal wins over allow and user") << rules << "https://intra.example/old/a.jnlp"
                                                      << "enabled" << refuse;
    QTest::newRow("allowed whatever the user set") << rules << "https://intra.example/a.jnlp"
                                                   << "disabled" << allow;
    QTest::newRow("star stands for any run") << rules << "http://x/evil"
                                             << "enabled" << refuse;
    QTest::newRow("no default: as today") << rules << "https://else.example/a.jnlp"
                                          << "new" << allow;
    QTest::newRow("default for the undecided") << rules + "default=refuse\n"
                                               << "https://else.example/a.jnlp"
                                               << "" << refuse;
    QTest::newRow("the user's switch beats allow") << rules + "default=allow\n"
                                                   << "https://else.example/a.jnlp"
                                                   << "switched off" << refuse;
    QTest::newRow("the user decided") << rules + "default=refuse\n"
                                      << "https://else.example/a.jnlp"
                                      << "enabled" << allow;
    QTest::newRow("default ask") << rules + "default=ask\n"
                                 << "https://else.example/a.jnlp"
                                 << "new" << ask;
    QTest::newRow("locked: the user's state does not count") << rules + "default=ask\nlocked=true\n"
                                                             << "https://else.example/a.jnlp"
                                                             << "disabled" << ask;
    QTest::newRow("locked without default") << rules + "locked=true\n"
                                            << "https://else.example/a.jnlp"
                                            << "disabled" << allow;
}

void TestAdminPolicy::decisions()
{
    QFETCH(QByteArray, policy);
    QFETCH(QString, url);
    QFETCH(QString, state);
    QFETCH(int, decision);
    TestHome home;
    write(policy);
    if (state == "switched off")
        QVERIFY(Utils::changeConfig([](QSettings &s) { s.setValue("settings/disableWebStartApps", true); }));
    else if (state != "new")
        configure(url, state);
    QCOMPARE(SettingsDialog::checkApp(url), LaunchDecision(decision));
    QVERIFY(log->warnings().filter("pravidlami spravcu").isEmpty());
}

// The example the package ships, read anew at each connection and launch:
// pages of other origins are turned away, and an unanswered question
// refuses the launch.
void TestAdminPolicy::pagesAndLaunches()
{
    TestHome home;
    seedAgentHome();
    Server server("T", nullptr);
    server.listen("kavrel.localhost", QHostAddress("127.0.0.1"), 0);
    server.findChild<LaunchQuestion *>()->setTimeout(300);
    const auto page = [&](const QString &origin) {
        auto peer = std::make_unique<TestPeer>(agentCa(), proxy.proxy(), origin);
        peer->socket.open(wssUrl("kavrel.localhost", server.port(), "/master/T"));
        // Greeted or refused; neither in time gives none.
        const bool answered = QTest::qWaitFor([&]() { return peer->texts.size() + peer->disconnected.size() > 0; });
        return answered ? std::move(peer) : nullptr;
    };
    auto before = page(QString());
    QVERIFY(before && before->text(0) == MAIN_HELLO);
    write(readAll(QString(KAVREL_SOURCE_DIR) + "/packaging/policy.ini.example"));
    for (const QString &origin : {QString(), QString("https://else.example")}) {
        auto refused = page(origin);
        QVERIFY(refused && refused->disconnected.size() == 1);
        QCOMPARE(refused->socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QCOMPARE(refused->socket.closeReason(), QString("Pristup zamietnuty"));
        QCOMPARE(refused->texts.size(), 0);
    }

    auto asking = page("https://portal.example.com");
    QVERIFY(asking && asking->text(0) == MAIN_HELLO);
    const QString url = "https://other.example/a.jnlp?action=echo";
    asking->socket.sendTextMessage(QString(R"({"method":"kavrel.launch","params":{"url":"%1"}})").arg(url));
    const auto question = []() -> QMessageBox * {
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (widget->objectName() == "LaunchQuestion" && widget->isVisible())
                return qobject_cast<QMessageBox *>(widget);
        return nullptr;
    };
    QTRY_VERIFY(question());
    QVERIFY(question()->text().contains("https://portal.example.com") && question()->text().contains(url));
    QVERIFY(!question()->isModal());
    QTRY_COMPARE_WITH_TIMEOUT(asking->disconnected.size(), 1, 20000);
    QCOMPARE(asking->params(1).value("code").toInt(), -203);
    // The address is remembered with the site that asked for it.
    QVERIFY(readAll(Utils::fileConfig()).contains("origin=https://portal.example.com"));
    // Of ours, nothing else: the example is taken as it stands.
    const QStringList ours{"Pravidla spravcu nepovoluju stranku s povodom \"\"",
                           "Pravidla spravcu nepovoluju stranku s povodom \"https://else.example\"",
                           "Pouzivatel neodpovedal vcas na otazku o spusteni aplikacie \"" + url + "\"",
                           "Spustenie aplikacie \"" + url + "\" bolo zakazane pouzivatelom"};
    QCOMPARE(log->warnings().filter(QRegularExpression("spravcu|aplikacie")), ours);
}

// Locked: every state as the administrator has it, greyed, and OK keeps the
// user's own values.
void TestAdminPolicy::lockedSettings()
{
    TestHome home;
    configure("https://a.example/evil.jnlp", "enabled");
    configure("https://a.example/good.jnlp", "disabled");
    write("[policy]\nrefuse=*evil*\ndefault=ask\nlocked=true\n");
    SettingsDialog dialog;
    dialog.show();
    const QByteArray before = readAll(Utils::fileConfig());
    QVERIFY(!dialog.findChild<QCheckBox *>("txtDisableJava")->isEnabled());
    QAbstractItemModel *model = dialog.findChild<QTreeView *>("treeView")->model();
    QStringList shown;
    for (int row = 0; row < model->rowCount(); ++row) {
        QVERIFY(!(model->flags(model->index(row, 2)) & (Qt::ItemIsEnabled | Qt::ItemIsEditable)));
        shown << model->index(row, 1).data().toString() + " " + model->index(row, 2).data().toString();
    }
    QCOMPARE(shown, QStringList({"https://a.example/evil.jnlp disabled", "https://a.example/good.jnlp ask"}));
    dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(readAll(Utils::fileConfig()), before);
}

QTEST_MAIN(TestAdminPolicy)
#include "tst_adminpolicy.moc"
