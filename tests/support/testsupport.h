#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>
#include <vector>

class ChildProcess;
class QLockFile;
class QSslCertificate;
class QTcpServer;

// A fresh HOME and XDG directories for the current process and the children
// it starts; the previous ones come back when the object goes.
class TestHome
{
public:
    TestHome();
    ~TestHome();
    QString path() const { return home; }
    // Gives the previous directories back while this home stays on disk, for
    // a child started in it that runs on while other cases go.
    void leave();

private:
    QTemporaryDir dir;
    QString home;
    QProcessEnvironment saved;
};

struct ChildResult
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
};

// A virtual X display for children whose boxes a test answers with xdotool.
class Xvfb
{
public:
    Xvfb();
    ~Xvfb();
    bool isRunning() const { return !display.isEmpty(); }
    QProcessEnvironment environment(QProcessEnvironment env = QProcessEnvironment::systemEnvironment()) const;
    // Window ids of the visible windows of a process, waiting up to timeout ms.
    QStringList windowsOf(qint64 pid, int timeoutMs = 60000) const;
    // The same without the main instance's tray icon or fallback window.
    QStringList dialogsOf(qint64 pid, int timeoutMs = 60000) const;
    // The dialogs of a process once they are no longer the shown ones (the
    // box that follows an answered one); empty when none came in time.
    QStringList nextDialogsOf(qint64 pid, const QStringList &shown, int timeoutMs = 60000) const;
    QString windowName(const QString &window) const;
    bool pressKey(const QString &window, const QString &key) const;
    // Clicks a mouse button in the middle of the window.
    bool click(const QString &window, int button) const;
    // A key for whatever holds the keyboard (an open menu, say).
    bool key(const QString &key) const;
    QSize windowSize(const QString &window) const;
    // Saves the whole screen as a test artefact; returns its path.
    QString screenshot(const QString &name) const;

private:
    QProcess server;
    QString display;
};

// Ports kept listening on the loopback address until release(), so that
// nobody takes them before the child that is to bind them starts.
class PortHold
{
public:
    // Random ports of the range a launch URL allows.
    explicit PortHold(int count);
    // Exactly these; held() tells whether all of them were free.
    explicit PortHold(const QList<quint16> &wanted);
    ~PortHold();
    PortHold(const PortHold &) = delete;
    PortHold &operator=(const PortHold &) = delete;

    bool held() const { return complete; }
    QList<quint16> ports() const { return list; }
    quint16 port(int i = 0) const { return list.value(i); }
    void release();

private:
    bool hold(quint16 port);

    QList<quint16> list;
    bool complete = true;
    std::vector<std::unique_ptr<QTcpServer>> holders;
};

namespace TestSupport {
// What the main server says first to a page that connects.
extern const QString MAIN_HELLO;
// A UUID in its text form without braces, for regular expressions; plain
// characters, so that static expressions of other files may use it.
extern const char UUID_PATTERN[];
// Stands in for a main instance's state file where a test holds the lock itself.
extern const QString FAKE_STATE;

// kill() aimed at one process: a pid of 0 or below, which kill() takes for a
// whole process group (the test runner's own among them), is refused with -1.
int signalProcess(qint64 pid, int signal);
QString kavrelPath();
QString helperPath(const QString &name);
QString artifactsDir();
// Runs a program to its end with the given environment; stdout and stderr kept.
ChildResult run(const QString &program, const QStringList &args,
                const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 60000);
ChildResult runKavrel(const QStringList &args,
                      const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 60000);
QString runTool(const QString &program, const QStringList &args, int *exitCode = nullptr);
int fileMode(const QString &path);
QByteArray readAll(const QString &path);
bool writeFile(const QString &path, const QByteArray &data);

// No display, and no dialog that could wait for one.
QProcessEnvironment offscreen(QProcessEnvironment env = QProcessEnvironment::systemEnvironment());
// The search path with the helpers first, so the fake javaws is the one found.
QString pathWithHelpers();
// A stored language keeps the first-start dialog away.
void storeLanguage(const QString &lang = "sk");
// A home where the agent ran before: language stored and certificates made,
// so no first-start dialog waits where nobody can answer it.
void seedAgentHome();
// The same certificate set in every home of a test process.
void seedCertificates();
// Takes the lock as a main instance would and publishes the given state, so
// that a launcher finds a main instance where none runs.
void pretendMainInstance(QLockFile &lock, const QString &state = FAKE_STATE);
// The pid written in the lock file; 0 when there is none.
qint64 lockOwner();
// The CA the agent made under the current home.
QSslCertificate agentCa();
QUrl wssUrl(const QString &host, quint16 port, const QString &path);
// Confirms a main instance's certificate notice and its success box, as a
// user would, and waits until it serves; name marks the screenshots.
void confirmNotice(const Xvfb &display, ChildProcess &agent, const QString &name);
// Whether something listens on the loopback port, watched from outside so
// that no connection of ours counts as a client.
bool listening(quint16 port);
// A self-signed certificate and key in dir/name.crt and .key, and both in
// dir/name.p12; newKey are the openssl req options that make the key.
void makeContainer(const QString &dir, const QString &name, const QStringList &newKey, const QString &subject,
                   const QString &password);
} // namespace TestSupport

#endif // TESTSUPPORT_H
