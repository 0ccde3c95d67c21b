#include "testsupport.h"

#include "certificategenerator.h"
#include "childprocess.h"
#include "utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMap>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTest>

#include <csignal>

#include <sys/stat.h>

static const char *const HOME_VARIABLES[] = {"HOME",           "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                             "XDG_CACHE_HOME", "XDG_STATE_HOME",  "XDG_RUNTIME_DIR"};

TestHome::TestHome()
    : saved(QProcessEnvironment::systemEnvironment())
{
    home = dir.path() + "/home";
    QDir().mkpath(home);
    qputenv("HOME", QFile::encodeName(home));
    for (const char *name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString path = dir.path() + "/" + QString::fromLatin1(name).toLower();
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(name, QFile::encodeName(path));
    }
}

TestHome::~TestHome()
{
    leave();
}

void TestHome::leave()
{
    for (const char *name : HOME_VARIABLES) {
        if (saved.contains(name))
            qputenv(name, saved.value(name).toLocal8Bit());
        else
            qunsetenv(name);
    }
}

Xvfb::Xvfb()
{
    // Xvfb writes the display number it picked to the descriptor given by -displayfd.
    server.setProgram("sh");
    // Without -noreset the server resets whenever its last client leaves, and
    // a client that connects meanwhile is turned away.
    server.setArguments({"-c", "exec Xvfb -displayfd 1 -screen 0 1280x900x24 -nolisten tcp -noreset 2>/dev/null"});
    server.start();
    if (!server.waitForStarted(10000))
        return;
    QElapsedTimer timer;
    timer.start();
    QByteArray number;
    while (!number.contains('\n') && timer.elapsed() < 20000) {
        server.waitForReadyRead(500);
        number += server.readAllStandardOutput();
    }
    if (number.trimmed().isEmpty())
        return;
    // Running only once a client gets in.
    const QString candidate = ":" + QString::fromLatin1(number.trimmed());
    while (timer.elapsed() < 30000) {
        QProcess probe;
        probe.start("xdpyinfo", {"-display", candidate});
        if (probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0) {
            display = candidate;
            return;
        }
        QTest::qWait(100);
    }
}

// Gone for good before the next one may take the same display number.
Xvfb::~Xvfb()
{
    server.terminate();
    if (!server.waitForFinished(15000)) {
        server.kill();
        server.waitForFinished(5000);
    }
}

QProcessEnvironment Xvfb::environment(QProcessEnvironment env) const
{
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    return env;
}

static QString xdotool(const QString &display, const QStringList &args, int *exitCode = nullptr)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    QProcess p;
    p.setProcessEnvironment(env);
    p.start("xdotool", args);
    p.waitForFinished(30000);
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QStringList Xvfb::windowsOf(qint64 pid, int timeoutMs) const
{
    QElapsedTimer timer;
    timer.start();
    do {
        const QString out = xdotool(display, {"search", "--onlyvisible", "--pid", QString::number(pid)});
        if (!out.isEmpty())
            return out.split('\n', Qt::SkipEmptyParts);
        QTest::qWait(100);
    } while (timer.elapsed() < timeoutMs);
    return {};
}

QStringList Xvfb::dialogsOf(qint64 pid, int timeoutMs) const
{
    QElapsedTimer timer;
    timer.start();
    do {
        const QStringList windows = windowsOf(pid, 0);
        QStringList dialogs = windows;
        for (const QString &window : windows) {
            const QSize size = windowSize(window);
            if (size.width() <= 32 || size == QSize(348, 283))
                dialogs.removeAll(window);
        }
        if (!dialogs.isEmpty())
            return dialogs;
        QTest::qWait(100);
    } while (timer.elapsed() < timeoutMs);
    return {};
}

QStringList Xvfb::nextDialogsOf(qint64 pid, const QStringList &shown, int timeoutMs) const
{
    QStringList dialogs;
    const bool changed = QTest::qWaitFor(
        [&]() {
            dialogs = dialogsOf(pid, 0);
            return !dialogs.isEmpty() && dialogs != shown;
        },
        timeoutMs);
    return changed ? dialogs : QStringList();
}

QString Xvfb::windowName(const QString &window) const
{
    return xdotool(display, {"getwindowname", window});
}

bool Xvfb::pressKey(const QString &window, const QString &key) const
{
    int code = -1;
    xdotool(display, {"windowfocus", "--sync", window}, &code);
    if (code != 0)
        return false;
    xdotool(display, {"key", "--clearmodifiers", key}, &code);
    return code == 0;
}

bool Xvfb::click(const QString &window, int button) const
{
    const QSize size = windowSize(window);
    int code = -1;
    // xdotool's --sync waits for the pointer to leave where it was, 15 s in
    // vain when it is there already (a second click on the same window): so
    // from the window's corner first.
    xdotool(display,
            {"mousemove", "--window", window, "0", "0", "mousemove", "--window", window, "--sync",
             QString::number(size.width() / 2), QString::number(size.height() / 2), "click", QString::number(button)},
            &code);
    return code == 0;
}

bool Xvfb::key(const QString &key) const
{
    int code = -1;
    xdotool(display, {"key", "--clearmodifiers", key}, &code);
    return code == 0;
}

QSize Xvfb::windowSize(const QString &window) const
{
    const QString shell = xdotool(display, {"getwindowgeometry", "--shell", window});
    QSize size;
    for (const QString &line : shell.split('\n')) {
        if (line.startsWith("WIDTH="))
            size.setWidth(line.mid(6).toInt());
        if (line.startsWith("HEIGHT="))
            size.setHeight(line.mid(7).toInt());
    }
    return size;
}

QString Xvfb::screenshot(const QString &name) const
{
    const QString path = TestSupport::artifactsDir() + "/" + name + ".png";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    QProcess p;
    p.setProcessEnvironment(env);
    p.start("import", {"-window", "root", path});
    p.waitForFinished(30000);
    return path;
}

PortHold::PortHold(int count)
{
    while (list.size() < count) {
        const quint16 port = quint16(QRandomGenerator::global()->bounded(49152, 65536));
        if (!list.contains(port) && hold(port))
            list << port;
    }
}

PortHold::PortHold(const QList<quint16> &wanted)
    : list(wanted)
{
    for (quint16 port : wanted)
        complete = hold(port) && complete;
}

PortHold::~PortHold() = default;

bool PortHold::hold(quint16 port)
{
    auto holder = std::make_unique<QTcpServer>();
    if (!holder->listen(QHostAddress::LocalHost, port))
        return false;
    holders.push_back(std::move(holder));
    return true;
}

void PortHold::release()
{
    holders.clear();
}

namespace TestSupport {

const QString MAIN_HELLO = R"({"id":null,"jsonrpc":"2.0","method":"hello","params":{"version":")" KAVREL_VERSION
                           R"("}})";
const char UUID_PATTERN[] = "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}";
const QString FAKE_STATE = "wss://kavrel.localhost:50123/master/fake-token";

int signalProcess(qint64 pid, int signal)
{
    return pid > 0 ? ::kill(pid_t(pid), signal) : -1;
}

QString kavrelPath()
{
    return QString::fromUtf8(KAVREL_EXECUTABLE);
}

QString helperPath(const QString &name)
{
    return QString::fromUtf8(KAVREL_TEST_BINARY_DIR) + "/helpers/" + name;
}

QString artifactsDir()
{
    const QString dir = QString::fromUtf8(KAVREL_TEST_BINARY_DIR) + "/artifacts";
    QDir().mkpath(dir);
    return dir;
}

ChildResult run(const QString &program, const QStringList &args, const QProcessEnvironment &env, int timeoutMs)
{
    ChildResult result;
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForStarted(10000))
        return result;
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
    }
    result.exitCode = p.exitCode();
    result.exitStatus = p.exitStatus();
    result.out = p.readAllStandardOutput();
    result.err = p.readAllStandardError();
    return result;
}

ChildResult runKavrel(const QStringList &args, const QProcessEnvironment &env, int timeoutMs)
{
    return run(kavrelPath(), args, env, timeoutMs);
}

QString runTool(const QString &program, const QStringList &args, int *exitCode)
{
    const ChildResult result = run(program, args);
    if (exitCode)
        *exitCode = result.exitStatus == QProcess::NormalExit ? result.exitCode : -1;
    return QString::fromUtf8(result.out + result.err);
}

int fileMode(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return st.st_mode & 07777;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size();
}

QProcessEnvironment offscreen(QProcessEnvironment env)
{
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("DISPLAY");
    return env;
}

QString pathWithHelpers()
{
    return QFileInfo(helperPath("javaws")).absolutePath() + ":" + qEnvironmentVariable("PATH");
}

void storeLanguage(const QString &lang)
{
    QVERIFY(writeFile(Utils::fileConfig(), "[General]\nlang=" + lang.toUtf8() + "\n"));
}

void seedAgentHome()
{
    storeLanguage();
    seedCertificates();
}

// The set is made once per test process and copied into every later home:
// its keys take most of a second, and making it is tst_certificategenerator's.
void seedCertificates()
{
    static QMap<QString, QByteArray> made;
    if (made.isEmpty()) {
        QVERIFY(CertificateGenerator(nullptr).generate());
        const QDir dir(Utils::dirCertificates());
        const QStringList names = dir.entryList(QDir::Files);
        for (const QString &name : names)
            made.insert(name, readAll(dir.filePath(name)));
        QVERIFY(!made.isEmpty());
        return;
    }
    const QString dir = Utils::dirCertificates();
    QVERIFY(Utils::createDirConfig());
    QVERIFY(::mkdir(QFile::encodeName(dir).constData(), 0700) == 0 || QFileInfo(dir).isDir());
    for (auto it = made.cbegin(); it != made.cend(); ++it)
        QCOMPARE(Utils::writePrivateFile(dir + "/" + it.key(), it.value()), Utils::Written);
}

void pretendMainInstance(QLockFile &lock, const QString &state)
{
    QVERIFY(lock.tryLock(0));
    QVERIFY(writeFile(Utils::fileState(), state.toUtf8() + "\n"));
}

qint64 lockOwner()
{
    return readAll(Utils::fileLock()).split('\n').value(0).toLongLong();
}

QSslCertificate agentCa()
{
    return QSslCertificate::fromPath(Utils::fileCertificateCa()).value(0);
}

QUrl wssUrl(const QString &host, quint16 port, const QString &path)
{
    QUrl url;
    url.setScheme("wss");
    url.setHost(host);
    url.setPort(port);
    url.setPath(path, QUrl::TolerantMode);
    return url;
}

void confirmNotice(const Xvfb &display, ChildProcess &agent, const QString &name)
{
    const QStringList notice = display.dialogsOf(agent.processId(), 60000);
    QVERIFY2(notice.size() == 1, qPrintable(agent.errText()));
    QCOMPARE(display.windowName(notice.first()), QString("Inštalácia certifikátu"));
    display.screenshot("notice-" + name);
    QVERIFY(!QFileInfo::exists(Utils::fileState()));
    QVERIFY(display.pressKey(notice.first(), "Return"));

    const QStringList outcome = display.nextDialogsOf(agent.processId(), notice);
    QVERIFY(!outcome.isEmpty());
    display.screenshot("notice-outcome-" + name);
    // The success box; the error box would follow a failed add.
    QVERIFY2(!agent.errText().contains("Nepodarilo sa pridat certifikat"), qPrintable(agent.errText()));
    QVERIFY(display.pressKey(outcome.first(), "Return"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(Utils::fileState()), 60000);
}

bool listening(quint16 port)
{
    const QString local = QString(":%1 ").arg(port, 4, 16, QChar('0')).toUpper();
    const QStringList lines = QString::fromLatin1(readAll("/proc/net/tcp")).split('\n');
    for (const QString &line : lines) {
        const QStringList fields = line.simplified().split(' ');
        if (fields.size() > 3 && (fields[1] + " ").endsWith(local) && fields[3] == "0A")
            return true;
    }
    return false;
}

void makeContainer(const QString &dir, const QString &name, const QStringList &newKey, const QString &subject,
                   const QString &password)
{
    const QString stem = dir + "/" + name;
    int code = -1;
    const QString out = runTool("openssl",
                                QStringList{"req", "-x509"} + newKey
                                    + QStringList{"-keyout", stem + ".key", "-out", stem + ".crt", "-nodes", "-subj",
                                                  subject, "-days", "2"},
                                &code);
    QVERIFY2(code == 0, qPrintable(out));
    runTool("openssl",
            {"pkcs12", "-export", "-inkey", stem + ".key", "-in", stem + ".crt", "-out", stem + ".p12", "-passout",
             "pass:" + password},
            &code);
    QCOMPARE(code, 0);
}

} // namespace TestSupport
