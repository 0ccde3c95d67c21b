#include "browsers.h"

#include "childprocess.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTest>

namespace Browsers {

static QStringList chromiumArguments(const QString &url, const QStringList &extra)
{
    // Without the networking switches Chromium keeps calling home, which this
    // closed network refuses; none of them touches certificate checks.
    const QStringList args{"--headless",
                           "--no-sandbox",
                           "--disable-gpu",
                           "--disable-quic",
                           "--no-first-run",
                           "--disable-background-networking",
                           "--disable-component-update",
                           "--disable-sync",
                           "--user-data-dir=" + QDir::homePath() + "/chromium"};
    return args + extra + QStringList{url};
}

ChildResult chromium(const QString &url, const QStringList &extra, int timeoutMs)
{
    return TestSupport::run("chromium", chromiumArguments(url, extra), QProcessEnvironment::systemEnvironment(),
                            timeoutMs);
}

void startChromium(QProcess &process, const QString &url, const QStringList &extra)
{
    // Headless Chromium without an action such as --dump-dom keeps the page
    // open until it is ended.
    process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    process.start("chromium", chromiumArguments(url, extra));
}

void startFirefox(QProcess &process, const QString &profile, const QString &url)
{
    // --no-remote: a browser of its own, not a tab handed to another instance.
    process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    process.start("firefox-esr", {"--headless", "--no-remote", "--profile", profile, url});
}

QString firstFirefoxRun()
{
    const ChildResult firefox = TestSupport::run("firefox-esr",
                                                 {"--headless", "--screenshot", QDir::homePath() + "/first-run.png",
                                                  "about:blank"},
                                                 QProcessEnvironment::systemEnvironment(), 60000);
    if (firefox.exitCode != 0)
        return QString();
    QDirIterator stores(qEnvironmentVariable("XDG_CONFIG_HOME") + "/mozilla/firefox", {"cert9.db"}, QDir::Files,
                        QDirIterator::Subdirectories);
    return stores.hasNext() ? QFileInfo(stores.next()).absolutePath() : QString();
}

QString firstChromiumRun()
{
    const QString home = QDir::homePath();
    TestSupport::makeContainer(home, "throwaway", {"-newkey", "rsa:2048"}, "/CN=localhost", "x");
    PortHold hold(1);
    const quint16 port = hold.port();
    ChildProcess server;
    hold.release();
    server.start("openssl",
                 {"s_server", "-quiet", "-www", "-accept", QString("127.0.0.1:%1").arg(port), "-cert",
                  home + "/throwaway.crt", "-key", home + "/throwaway.key"});
    if (!QTest::qWaitFor([port]() { return TestSupport::listening(port); }, 30000))
        return QString();
    chromium(QString("https://127.0.0.1:%1/").arg(port), {"--dump-dom"});
    const QString store = qEnvironmentVariable("XDG_DATA_HOME") + "/pki/nssdb";
    return QFileInfo::exists(store + "/cert9.db") ? store : QString();
}

} // namespace Browsers
