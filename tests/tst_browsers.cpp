#include "browsers.h"
#include "childprocess.h"
#include "httpserver.h"
#include "testsupport.h"
#include "utils.h"

#include <QDir>
#include <QRegularExpression>
#include <QSettings>
#include <QSslCertificate>
#include <QSslKey>
#include <QUrlQuery>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>

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

// Where Chromium reads the policies an administrator sets for every user.
static const QString POLICY_DIR = "/etc/chromium/policies/managed";

// The steps a page walks (road.js runs the same ones, in this order):
// road: launch an application and talk with it; refusal: a forbidden one;
// failures: nobody answers, then a stranger's launcher holds the ports;
// example: the kit's example page, clicked through each outcome it words;
// blocked: the browser keeps the page from this computer.
enum Step { Road = 1, Refusal = 2, Failures = 4, Example = 8, Blocked = 16 };

class TestBrowsers : public QObject
{
    Q_OBJECT

private slots:
    void launchRoadInRealBrowsers();

private:
    // One browser's page walks the steps; its kit connects through via, and
    // its launchers start directly or through the desktop's scheme handler.
    // With tls the page comes over https, signed by the agent's CA.
    void walk(const QString &name, const Opener &open, const QString &via, bool throughDesktop, int steps,
              bool tls = false);

    Xvfb display;
    // The browsers' certificate stores.
    QStringList stores;
};

// A launcher for the URL a page handed to the test, started directly or
// through the desktop's scheme handler.
static void startLauncher(ChildProcess &launcher, const QProcessEnvironment &env, const QString &url,
                          bool throughDesktop)
{
    launcher.setProcessEnvironment(env);
    if (throughDesktop)
        launcher.start("xdg-open", {url});
    else
        launcher.start(kavrelPath(), {url});
}

// A certificate for https://127.0.0.1 from a CA of the test's own, which the
// browsers' stores (Chromium's shared one, the Firefox profile) come to trust.
static bool siteCertificate(const QString &dir, const QStringList &stores, QSslCertificate *certificate, QSslKey *key)
{
    const QString ca = dir + "/ca";
    const QString site = dir + "/site";
    if (!QFileInfo::exists(site + ".crt")) {
        int code = -1;
        QString out = runTool("openssl",
                              {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca + ".key", "-out",
                               ca + ".crt", "-subj", "/CN=Kavrel test site CA", "-days", "2"},
                              &code);
        if (code == 0)
            out = runTool("openssl",
                          {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", site + ".key", "-out", site + ".csr",
                           "-subj", "/CN=127.0.0.1"},
                          &code);
        if (code == 0
            && writeFile(site + ".ext",
                         "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                         "extendedKeyUsage=serverAuth\n"))
            out = runTool("openssl",
                          {"x509", "-req", "-in", site + ".csr", "-CA", ca + ".crt", "-CAkey", ca + ".key",
                           "-set_serial", "2", "-days", "2", "-extfile", site + ".ext", "-out", site + ".crt"},
                          &code);
        for (const QString &store : stores)
            if (code == 0)
                out = runTool("certutil",
                              {"-A", "-t", "C,,", "-n", "Kavrel test site CA", "-i", ca + ".crt", "-d", "sql:" + store},
                              &code);
        if (code != 0) {
            qWarning().noquote() << out;
            return false;
        }
    }
    *certificate = QSslCertificate::fromPath(site + ".crt").value(0);
    QFile file(site + ".key");
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *key = QSslKey(&file, QSsl::Rsa);
    return !certificate->isNull() && !key->isNull();
}

// A policy file of Chromium's for the length of a test, gone afterwards
// whatever happens, with the directories made for it.
class ManagedPolicy
{
public:
    ManagedPolicy(const QString &name, const QByteArray &json)
        : path(POLICY_DIR + "/" + name)
    {
        for (QString dir = POLICY_DIR; !QFileInfo::exists(dir); dir = QFileInfo(dir).path())
            made.prepend(dir);
        written = QDir().mkpath(POLICY_DIR) && writeFile(path, json);
    }
    ~ManagedPolicy()
    {
        QFile::remove(path);
        for (int i = made.size() - 1; i >= 0; --i)
            QDir().rmdir(made.at(i));
    }

    const QString path;
    bool written = false;

private:
    QStringList made;
};

void TestBrowsers::walk(const QString &name, const Opener &open, const QString &via, bool throughDesktop, int steps,
                        bool tls)
{
    HttpServer http(QString::fromUtf8(KAVREL_SOURCE_DIR) + "/tests/pages");
    http.addRoot(QString::fromUtf8(KAVREL_SOURCE_DIR) + "/clients/js");
    // The server looks files up by name: /example/index.html is the example's.
    http.addRoot(QString::fromUtf8(KAVREL_SOURCE_DIR) + "/clients/js/example");
    QVERIFY(http.isListening());
    if (tls) {
        const QString dir = QDir::homePath() + "/page-site";
        QSslCertificate certificate;
        QSslKey key;
        QVERIFY(QDir().mkpath(dir) && siteCertificate(dir, stores, &certificate, &key));
        http.setTls(certificate, key);
    }
    // Ports of the dynamic range, as a page offers them in a launch URL.
    PortHold hold(2);
    const QString ports = QString("%1,%2").arg(hold.port(0)).arg(hold.port(1));
    const QString app = "http://127.0.0.1/apps/" + name + ".jnlp?action=echo";
    QStringList stepNames;
    const QList<QPair<int, QString>> known{{Road, "road"},
                                           {Refusal, "refusal"},
                                           {Failures, "failures"},
                                           {Example, "example"},
                                           {Blocked, "blocked"}};
    for (const auto &step : known)
        if (steps & step.first)
            stepNames << step.second;
    QString query;
    for (const auto &item : {qMakePair(QString("ports"), ports), qMakePair(QString("via"), via),
                             qMakePair(QString("app"), app), qMakePair(QString("forbidden"), FORBIDDEN),
                             qMakePair(QString("name"), name), qMakePair(QString("steps"), stepNames.join(','))})
        query += (query.isEmpty() ? "?" : "&") + item.first + "=" + QUrl::toPercentEncoding(item.second);
    ChildProcess browser;
    open(browser, http.url("road.html") + query);
    QVERIFY2(browser.waitForStarted(), qPrintable(name));
    Page page(http, browser, name);
    hold.release();

    // The kit's launch URL, with a token of its own each time.
    QStringList tokens;
    const auto takeLaunch = [&]() {
        const QString text = page.take("launch");
        const QUrl launch(text);
        const QUrlQuery launchQuery(launch);
        const QString token = launchQuery.queryItemValue("token");
        if (text.isNull() || launch.scheme() != "obrenta-kavrel"
            || launchQuery.queryItemValue("hostnames") != "kavrel.localhost,127.0.0.1"
            || launchQuery.queryItemValue("ports") != ports
            || !QRegularExpression("^[0-9a-f]{32}$").match(token).hasMatch() || tokens.contains(token)) {
            page.problem += " launch URL: " + text;
            return QString();
        }
        tokens << token;
        return text;
    };

    if (steps & Road) {
        const QString launchUrl = takeLaunch();
        QVERIFY2(!launchUrl.isNull(), qPrintable(page.problem));
        ChildProcess launcher;
        startLauncher(launcher, display.environment(), launchUrl, throughDesktop);
        QVERIFY(launcher.waitForStarted());

        const QString version = page.take("session");
        QVERIFY2(!version.isNull(), qPrintable(page.problem));
        QCOMPARE(version, QString(KAVREL_VERSION));
        // The kit reached the main server through the host it was given.
        const QString slave = page.take("application");
        QVERIFY2(!slave.isNull(), qPrintable(page.problem));
        const QUrl server(
            QString::fromUtf8(readAll(Utils::fileState())).split('\n').filter("wss://kavrel.localhost:").value(0));
        QVERIFY(server.isValid() && server.port() > 0);
        const QRegularExpression slaveUrl(QString("^wss://%1:%2/slave/%3$")
                                              .arg(QRegularExpression::escape(via))
                                              .arg(server.port())
                                              .arg(UUID_PATTERN));
        QVERIFY2(slaveUrl.match(slave).hasMatch(), qPrintable(slave));
        const QString echoed = page.take("echoed");
        QVERIFY2(echoed.contains("Dobrý deň z " + name), qPrintable(echoed + page.problem));
        const QString left = page.take("left");
        QVERIFY2(left == "1000 started,joined,ended 5 false", qPrintable(left + page.problem));
        // The kit left every listener of the launcher, so it (and xdg-open with it) has ended.
        QVERIFY2(launcher.ended(STEP_MS), qPrintable(launcher.errText()));
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.exitCode(), 0);
    }

    if (steps & Refusal) {
        // A refused application: its status, then the close, and no message.
        const QString refusedUrl = takeLaunch();
        QVERIFY2(!refusedUrl.isNull(), qPrintable(page.problem));
        ChildProcess refusing;
        startLauncher(refusing, display.environment(), refusedUrl, throughDesktop);
        const QString refused = page.take("refused");
        QCOMPARE(refused,
                 QString(R"([{"code":-203,"message":"Spustenie aplikacie bolo zakazane pouzivatelom","state":"error",)"
                         R"("cause":"forbidden"}] 0)"));
        const QString closed = page.take("closed");
        QVERIFY2(closed == "1000", qPrintable(closed + page.problem));
        QVERIFY2(refusing.ended(STEP_MS), qPrintable(refusing.errText()));
    }

    if (steps & Failures) {
        // Nobody answers: the kit gives up with "unreachable".
        QVERIFY2(!takeLaunch().isNull(), qPrintable(page.problem));
        const QString silent = page.take("failed");
        QVERIFY2(silent.startsWith("unreachable "), qPrintable(silent + page.problem));

        // A launcher for another token holds the ports: "refused".
        QVERIFY2(!takeLaunch().isNull(), qPrintable(page.problem));
        ChildProcess stranger;
        stranger.setProcessEnvironment(display.environment());
        stranger.start(kavrelPath(),
                       {QString("obrenta-kavrel:?hostnames=kavrel.localhost&ports=%1&token=someone-else").arg(ports)});
        const QString strangerSaid = page.take("failed");
        QVERIFY2(strangerSaid.startsWith("refused ") && strangerSaid.contains("Pristup zamietnuty"),
                 qPrintable(strangerSaid + page.problem));
        stranger.kill();
        QVERIFY(stranger.ended());
    }

    if (steps & Example) {
        // What the example page shows its user, launch by launch; the last
        // two have no launcher to answer them.
        const QList<QPair<QString, QString>>
            cases{{"answer", R"(The application answered: {"method":"example.sum","params":[1,2,3]})"},
                  {"closed", "You closed the session."},
                  {"forbidden",
                   "Your Kavrel settings do not allow this application. Allow it in Kavrel's settings (its "
                   "icon in the panel) and try again."},
                  {"crashed", "The application crashed (signal 6)."},
                  {"not-started",
                   "The application did not start: its start was cancelled (perhaps at Java's security "
                   "question), or it could not connect to this page."},
                  {"unreachable",
                   "Kavrel did not answer. Is it installed on this computer? If the browser asked whether to "
                   "open Kavrel, allow it and try again."},
                  {"cancelled", "You stopped waiting for Kavrel."}};
        for (const auto &shown : cases) {
            std::unique_ptr<ChildProcess> launcher;
            if (shown.first != "closed") {
                const QString launchUrl = takeLaunch();
                QVERIFY2(!launchUrl.isNull(), qPrintable(page.problem));
                if (shown.first != "unreachable" && shown.first != "cancelled") {
                    launcher = std::make_unique<ChildProcess>();
                    startLauncher(*launcher, display.environment(), launchUrl, throughDesktop);
                }
            }
            const QString text = page.take("example-" + shown.first);
            QVERIFY2(text == shown.second, qPrintable(shown.first + ": " + text + page.problem));
            if (launcher)
                QVERIFY2(launcher->ended(STEP_MS), qPrintable(launcher->errText()));
        }
    }

    if (steps & Blocked) {
        // The agent is there and its launcher listens, yet the browser keeps
        // the page away: "blocked", with a text for the user.
        const QString launchUrl = takeLaunch();
        QVERIFY2(!launchUrl.isNull(), qPrintable(page.problem));
        ChildProcess launcher;
        startLauncher(launcher, display.environment(), launchUrl, throughDesktop);
        const QString blocked = page.take("failed");
        QVERIFY2(blocked.startsWith("blocked ") && blocked.contains("local network access"),
                 qPrintable(blocked + page.problem));
        // Nothing reached the launcher, which would otherwise have ended.
        QVERIFY(!launcher.ended(1000));
        launcher.kill();
        QVERIFY(launcher.ended());
    }

    // take() gives a null string for another report than the one due.
    const QString done = page.take("done");
    QVERIFY2(!done.isNull() && done.isEmpty(), qPrintable(page.problem));
    browser.kill();
    QVERIFY(browser.ended());
}

// A new account's Chromium and Firefox, trusting only what the agent put into
// their own stores, walk a page through the page kit: from the launch URL
// through the redirect server and the main server to a running application
// and back, to a refused launch, to the kit's own failures, and through the
// example page's words for each outcome. Then a page
// that the browsers count as public (served over https from an address
// declared public): without permission to reach this computer the kit reports
// "blocked"; with an administrator's policy allowing the page's origin it
// walks the road.
void TestBrowsers::launchRoadInRealBrowsers()
{
    QVERIFY(display.isRunning());
    TestHome home;
    const QString firefoxProfile = Browsers::firstFirefoxRun();
    QVERIFY(!firefoxProfile.isEmpty());
    const QString chromiumStore = Browsers::firstChromiumRun();
    QVERIFY(!chromiumStore.isEmpty());
    stores = QStringList{chromiumStore, firefoxProfile};

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

    const int local = Road | Refusal | Failures | Example;
    walk(
        "chromium", [](QProcess &p, const QString &url) { Browsers::startChromium(p, url); }, "kavrel.localhost", false,
        local);
    if (QTest::currentTestFailed())
        return;
    walk(
        "firefox", [&](QProcess &p, const QString &url) { Browsers::startFirefox(p, firefoxProfile, url); },
        "127.0.0.1", true, local);
    if (QTest::currentTestFailed())
        return;

    // The page's own address and port count as public; everything else stays as it is.
    const Opener publicPage = [](QProcess &p, const QString &url) {
        const QUrl page(url);
        Browsers::startChromium(p, url, {QString("--ip-address-space-overrides=127.0.0.1:%1=public").arg(page.port())});
    };
    walk("chromium", publicPage, "kavrel.localhost", false, Blocked, true);
    if (QTest::currentTestFailed())
        return;
    {
        // Chromium reads its policies when it starts; the origin is known only
        // once the page's server listens, so the opener writes it.
        std::unique_ptr<ManagedPolicy> policy;
        const Opener allowedPage = [&](QProcess &p, const QString &url) {
            const QUrl page(url);
            policy = std::make_unique<ManagedPolicy>(
                QString("kavrel-test-%1.json").arg(QCoreApplication::applicationPid()),
                QString(R"({"LocalNetworkAccessAllowedForUrls": ["https://127.0.0.1:%1"]})").arg(page.port()).toUtf8());
            QVERIFY2(policy->written, qPrintable(policy->path + " could not be written (needs root)"));
            publicPage(p, url);
        };
        walk("chromium", allowedPage, "kavrel.localhost", false, Road, true);
    }
    if (QTest::currentTestFailed())
        return;

    // Firefox ESR does not hold a public page back (unless its check is
    // switched on): the same page walks the road there without any policy.
    const QString userJs = firefoxProfile + "/user.js";
    const Opener publicToFirefox = [&](QProcess &p, const QString &url) {
        QVERIFY(writeFile(userJs,
                          QString("user_pref(\"network.lna.address_space.public.override\", "
                                  "\"127.0.0.1:%1\");\n")
                              .arg(QUrl(url).port())
                              .toUtf8()));
        Browsers::startFirefox(p, firefoxProfile, url);
    };
    walk("firefox", publicToFirefox, "127.0.0.1", false, Road, true);
    QFile::remove(userJs);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(TestSupport::signalProcess(agent.processId(), SIGTERM), 0);
    QVERIFY2(agent.ended(), qPrintable(agent.errText()));
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), 0);
}

QTEST_MAIN(TestBrowsers)
#include "tst_browsers.moc"
