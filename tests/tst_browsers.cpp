#include "browsers.h"
#include "childprocess.h"
#include "httpserver.h"
#include "testsupport.h"
#include "utils.h"

#include <QRegularExpression>
#include <QSettings>
#include <QUrlQuery>
#include <QtTest>

#include <csignal>
#include <functional>

using namespace TestSupport;

// Certificates are made at a first start; generous for a loaded machine.
static const int START_MS = 60000;
// Longer than the page's own wait for one step, so that its error text comes first.
static const int STEP_MS = 45000;
// With action=echo a wrongly started application would join and speak up.
static const QString FORBIDDEN = "http://127.0.0.1/apps/forbidden.jnlp?action=echo";

using Opener = std::function<void(QProcess &, const QString &)>;

// The reports of one page, taken in order.
class Page
{
public:
    Page(HttpServer &server, ChildProcess &process, const QString &pageName)
        : http(server)
        , browser(process)
        , name(pageName)
    {
    }

    // The rest of the next report, which must begin with step; null otherwise,
    // with the page's own text in problem.
    QString take(const QString &step)
    {
        const int index = taken;
        if (!QTest::qWaitFor([&]() { return http.reports.size() > index || browser.state() == QProcess::NotRunning; },
                             STEP_MS)
            || http.reports.size() <= index) {
            problem = QString("%1 reported no '%2' after %3\n%4")
                          .arg(name, step, http.reports.join(" | "), browser.errText().right(3000));
            return QString();
        }
        ++taken;
        const QString text = http.reports.at(index);
        if (text == step)
            return QString("");
        if (!text.startsWith(step + " ")) {
            problem = QString("%1 reported '%2' where '%3' was due").arg(name, text, step);
            return QString();
        }
        return text.mid(step.size() + 1);
    }

    QString problem;

private:
    HttpServer &http;
    ChildProcess &browser;
    QString name;
    int taken = 0;
};

class TestBrowsers : public QObject
{
    Q_OBJECT

private slots:
    void launchRoadInRealBrowsers();

private:
    // One browser's page walks the road; its master connects through via, and
    // its launcher starts directly or through the desktop's scheme handler.
    void walk(const QString &name, const Opener &open, const QString &via, bool throughDesktop);

    Xvfb display;
};

void TestBrowsers::walk(const QString &name, const Opener &open, const QString &via, bool throughDesktop)
{
    HttpServer http(QString::fromUtf8(KAVREL_SOURCE_DIR) + "/tests/pages");
    QVERIFY(http.isListening());
    // Ports of the dynamic range, as a page offers them in a launch URL.
    PortHold hold(2);
    const QString ports = QString("%1,%2").arg(hold.port(0)).arg(hold.port(1));
    const QString app = "http://127.0.0.1/apps/" + name + ".jnlp?action=echo";
    QString query;
    for (const auto &item :
         {qMakePair(QString("ports"), ports), qMakePair(QString("via"), via), qMakePair(QString("app"), app),
          qMakePair(QString("forbidden"), FORBIDDEN), qMakePair(QString("name"), name)})
        query += (query.isEmpty() ? "?" : "&") + item.first + "=" + QUrl::toPercentEncoding(item.second);
    ChildProcess browser;
    open(browser, http.url("road.html") + query);
    QVERIFY2(browser.waitForStarted(), qPrintable(name));
    Page page(http, browser, name);

    const QString launchUrl = page.take("launch");
    QVERIFY2(!launchUrl.isNull(), qPrintable(page.problem));
    const QUrl launch(launchUrl);
    const QUrlQuery launchQuery(launch);
    QCOMPARE(launch.scheme(), QString("obrenta-kavrel"));
    QCOMPARE(launchQuery.queryItemValue("hostnames"), QString("kavrel.localhost,127.0.0.1"));
    QCOMPARE(launchQuery.queryItemValue("ports"), ports);
    QVERIFY(!launchQuery.queryItemValue("token").isEmpty());

    ChildProcess launcher;
    launcher.setProcessEnvironment(display.environment());
    hold.release();
    if (throughDesktop)
        launcher.start("xdg-open", {launchUrl});
    else
        launcher.start(kavrelPath(), {launchUrl});
    QVERIFY(launcher.waitForStarted());

    // The redirect server hands out the main server's address with the host the page used.
    QUrl server(QString::fromUtf8(readAll(Utils::fileState())).split('\n').filter("wss://kavrel.localhost:").value(0));
    QVERIFY(server.isValid() && server.port() > 0);
    for (const QString host : {"kavrel.localhost", "127.0.0.1"}) {
        const QString redirect = page.take("redirect");
        QVERIFY2(!redirect.isNull(), qPrintable(page.problem));
        server.setHost(host);
        QCOMPARE(redirect, server.toString());
    }
    const QString version = page.take("master");
    QVERIFY2(!version.isNull(), qPrintable(page.problem));
    QVERIFY(!version.isEmpty());

    const QString slave = page.take("application");
    QVERIFY2(!slave.isNull(), qPrintable(page.problem));
    const QRegularExpression slaveUrl(
        QString("^wss://%1:%2/slave/%3$").arg(QRegularExpression::escape(via)).arg(server.port()).arg(UUID_PATTERN));
    QVERIFY2(slaveUrl.match(slave).hasMatch(), qPrintable(slave));
    const QString echoed = page.take("echoed");
    QVERIFY2(echoed.contains("Dobrý deň z " + name), qPrintable(echoed + page.problem));
    QVERIFY2(!page.take("refused").isNull(), qPrintable(page.problem));
    const QString closed = page.take("closed");
    QVERIFY2(closed == "1000", qPrintable(closed + page.problem));

    // The page left both redirect listeners, so the launcher (and xdg-open with it) has ended.
    QVERIFY2(launcher.ended(STEP_MS), qPrintable(launcher.errText()));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
    browser.kill();
    QVERIFY(browser.ended());
}

// A new account's Chromium and Firefox, trusting only what the agent put into
// their own stores, walk a page from the launch URL through the redirect
// server and the main server to a running application and back, and to a
// refused launch.
void TestBrowsers::launchRoadInRealBrowsers()
{
    QVERIFY(display.isRunning());
    TestHome home;
    const QString firefoxProfile = Browsers::firstFirefoxRun();
    QVERIFY(!firefoxProfile.isEmpty());
    QVERIFY(!Browsers::firstChromiumRun().isEmpty());

    storeLanguage();
    {
        QSettings settings(Utils::fileConfig(), QSettings::IniFormat);
        settings.setValue("application_0/url", FORBIDDEN);
        settings.setValue("application_0/state", "disabled");
    }
    ChildProcess agent;
    QProcessEnvironment env = display.environment();
    env.insert("PATH", pathWithHelpers());
    agent.setProcessEnvironment(env);
    agent.start(kavrelPath(), {"-s"});
    QVERIFY(agent.waitForStarted());
    confirmNotice(display, agent, "browsers");
    if (QTest::currentTestFailed())
        return;

    walk(
        "chromium", [](QProcess &p, const QString &url) { Browsers::startChromium(p, url); }, "kavrel.localhost",
        false);
    if (QTest::currentTestFailed())
        return;
    walk(
        "firefox", [&](QProcess &p, const QString &url) { Browsers::startFirefox(p, firefoxProfile, url); },
        "127.0.0.1", true);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(::kill(pid_t(agent.processId()), SIGTERM), 0);
    QVERIFY2(agent.ended(), qPrintable(agent.errText()));
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), 0);
}

QTEST_MAIN(TestBrowsers)
#include "tst_browsers.moc"
