#include "childprocess.h"
#include "loopbackproxy.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QFileInfo>
#include <QSettings>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace TestSupport;

// "Ask" through the real agent under X: the user answers the boxes with the
// keyboard while another session keeps relaying.
class TestLaunchQuestion : public QObject
{
    Q_OBJECT

private slots:
    void askedOneAfterAnother();

private:
    LoopbackProxy proxy;
};

void TestLaunchQuestion::askedOneAfterAnother()
{
    Xvfb display;
    QVERIFY(display.isRunning());
    TestHome home;
    seedAgentHome();
    const QString first = "http://apps.example/first.jnlp?action=echo";
    const QString second = "http://apps.example/second.jnlp?action=echo";
    const QString canaryApp = "http://apps.example/canary.jnlp?action=echo";
    QVERIFY(Utils::changeConfig([&](QSettings &s) {
        const QStringList urls{first, second, canaryApp}, states{"ask", "ask", "enabled"};
        for (int i = 0; i < 3; ++i) {
            s.setValue(QString("application_%1/url").arg(i), urls[i]);
            s.setValue(QString("application_%1/state").arg(i), states[i]);
        }
    }));
    ChildProcess agent;
    QProcessEnvironment env = display.environment();
    env.insert("PATH", pathWithHelpers());
    agent.setProcessEnvironment(env);
    agent.start(kavrelPath(), {"-s"});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(Utils::fileState()), 60000);
    const QUrl masterUrl(QString::fromUtf8(readAll(Utils::fileState())).trimmed());
    const auto launch = [&](const QString &origin, const QString &url) {
        auto page = std::make_unique<TestPeer>(agentCa(), proxy.proxy(), origin);
        if (page->first(masterUrl) == MAIN_HELLO)
            page->socket.sendTextMessage(
                QString(R"({"id":1,"jsonrpc":"2.0","method":"kavrel.launch","params":{"url":"%1"}})").arg(url));
        return page;
    };
    const auto asked = [&](const QString &origin) {
        return agent.waitForLog("\"" + origin + "\" smie spustit aplikaciu");
    };

    auto canary = launch("https://canary.example", canaryApp);
    QTRY_VERIFY_WITH_TIMEOUT(canary->indexOf("test.report") > 0, 30000);
    auto one = launch("https://one.example", first);
    auto two = launch("https://two.example", second);
    QVERIFY(asked("https://one.example") && asked("https://two.example"));
    QStringList shown = display.dialogsOf(agent.processId());
    QCOMPARE(shown.size(), 1);
    QCOMPARE(display.windowName(shown.first()), QString("Spustenie aplikácie"));
    display.screenshot("launchquestion-asked");
    canary->socket.sendTextMessage("still served");
    QTRY_VERIFY_WITH_TIMEOUT(canary->received().contains("still served"), 20000);
    QCOMPARE(one->texts.size(), 1);

    // Allowed once: started, and asked again next time.
    QVERIFY(display.pressKey(shown.first(), "alt+p"));
    QTRY_VERIFY_WITH_TIMEOUT(one->indexOf("test.report") > 0, 30000);
    // Refused with "remember": -203, and stored for the address.
    shown = display.nextDialogsOf(agent.processId(), shown);
    QCOMPARE(shown.size(), 1);
    // Mnemonics click after a moment, in the order pressed.
    QVERIFY(display.pressKey(shown.first(), "alt+z"));
    QVERIFY(display.pressKey(shown.first(), "alt+n"));
    QTRY_COMPARE_WITH_TIMEOUT(two->disconnected.size(), 1, 20000);
    QVERIFY2(agent.waitForLog("\"" + second + "\" pouzivatel nepovolil natrvalo"), qPrintable(agent.errText()));
    QCOMPARE(two->received().mid(1),
             QStringList{"{\"id\":\"\",\"jsonrpc\":\"2.0\",\"method\":\"kavrel.launchStatus\",\"params\":{\"cause\":"
                         "\"forbidden\",\"code\":-203,"
                         "\"message\":\"Spustenie aplikacie bolo zakazane pouzivatelom\",\"state\":\"error\"}}"});
    QSettings config(Utils::fileConfig(), QSettings::IniFormat);
    QCOMPARE(config.value("application_0/state").toString(), QString("ask"));
    QCOMPARE(config.value("application_1/state").toString(), QString("disabled"));

    // A page that goes while asked takes its question with it.
    auto three = launch("https://three.example", first);
    QVERIFY(asked("https://three.example"));
    QCOMPARE(display.dialogsOf(agent.processId()).size(), 1);
    three->socket.close();
    QVERIFY(agent.waitForLog("Stranka odisla pred odpovedou na otazku o spusteni aplikacie"));
    QTRY_VERIFY_WITH_TIMEOUT(display.dialogsOf(agent.processId(), 0).isEmpty(), 20000);
    QCOMPARE(agent.errText().count("pouzivatel povolil"), 1);
    QCOMPARE(canary->disconnected.size() + one->disconnected.size(), 0);

    QCOMPARE(TestSupport::signalProcess(agent.processId(), SIGTERM), 0);
    QVERIFY(agent.ended());
}

QTEST_GUILESS_MAIN(TestLaunchQuestion)
#include "tst_launchquestion.moc"
