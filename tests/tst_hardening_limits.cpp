#include "childprocess.h"
#include "loadsupport.h"
#include "server.h"
#include "sslwebsocketserver.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <memory>

#include <sys/resource.h>
#include <unistd.h>

using namespace TestSupport;
using namespace LoadSupport;

namespace {

// "soft hard" of the descriptor limit of a process, as the kernel shows it.
QString descriptorLimits(qint64 pid)
{
    const QStringList lines = QString::fromUtf8(readAll(QString("/proc/%1/limits").arg(pid))).split('\n');
    for (const QString &line : lines) {
        if (line.startsWith("Max open files"))
            return line.mid(26).simplified().section(' ', 0, 1);
    }
    return QString();
}

int descriptorsOf(qint64 pid)
{
    return QDir(QString("/proc/%1/fd").arg(pid)).entryList(QDir::Files | QDir::System).size();
}

// The descriptor the process would get next: a soft limit of it leaves none.
rlim_t lowestFreeDescriptor(qint64 pid)
{
    rlim_t fd = 0;
    while (QFileInfo::exists(QString("/proc/%1/fd/%2").arg(pid).arg(fd)))
        ++fd;
    return fd;
}

// Processes whose parent is pid.
int childrenOf(qint64 pid)
{
    int n = 0;
    const QStringList entries = QDir("/proc").entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        const QByteArray stat = readAll("/proc/" + entry + "/stat");
        n += stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(1).toLongLong() == pid;
    }
    return n;
}

// Connections waiting to be accepted by the listener at 127.0.0.1:port, as
// the kernel shows it; -1 when there is no such listener.
int acceptQueue(quint16 port)
{
    const QByteArray local = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    const QList<QByteArray> lines = readAll("/proc/net/tcp").split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.value(1) == local && fields.value(3) == "0A")
            return fields.value(4).split(':').value(1).toInt(nullptr, 16);
    }
    return -1;
}

// Seconds of CPU a process has used.
double cpuSeconds(qint64 pid)
{
    const QByteArray stat = readAll(QString("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

// Lets VmHWM of a process count from now on.
bool resetPeak(qint64 pid)
{
    QFile refs(QString("/proc/%1/clear_refs").arg(pid));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

QString launch(const QString &url)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{"method", "kavrel.launch"}, {"params", QJsonObject{{"url", url}}}})
            .toJson(QJsonDocument::Compact));
}

// A page with its application that says something every 100 ms and notes
// the longest wait for the echo, all the while the agent is under attack.
class Canary
{
public:
    explicit Canary(TestPeer &canaryPage)
        : page(canaryPage)
    {
        QObject::connect(&page.socket, &QWebSocket::textMessageReceived, &timer, [this](const QString &text) {
            if (waiting && text == QString::number(sent)) {
                longest = qMax(longest, clock.elapsed());
                waiting = false;
                ++answered;
            }
        });
        QObject::connect(&timer, &QTimer::timeout, [this]() {
            if (waiting)
                return;
            waiting = true;
            clock.start();
            page.socket.sendTextMessage(QString::number(++sent));
        });
        timer.start(100);
    }

    // Whether the session still relays: two more of its echoes come back.
    // (A text of our own would race with the canary's on the same page.)
    bool answersAgain()
    {
        const int from = answered;
        return waitUntil([&]() { return answered >= from + 2; }, 20000);
    }

    // Milliseconds, counting an echo still awaited.
    qint64 longestWait() const { return waiting ? qMax(longest, clock.elapsed()) : longest; }
    // The longest wait so far, then counts anew.
    qint64 takeLongestWait()
    {
        const qint64 was = longestWait();
        longest = 0;
        return was;
    }

private:
    TestPeer &page;
    QTimer timer;
    QElapsedTimer clock;
    int sent = 0, answered = 0;
    bool waiting = false;
    qint64 longest = 0;
};

} // namespace

// What a hostile or careless page does to the real agent, started with the
// soft descriptor limit a desktop session gives, while another page's session
// keeps talking: the agent must live, stay bounded and serve that session.
class TestHardeningLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void launchFlood();
    void unreadPongs();
    void deepMessage();
    // Last: it takes the agent's descriptors away.
    void descriptorsRunOut();

private:
    quint16 port() const { return quint16(served.port()); }

    std::unique_ptr<TestHome> home;
    QSslCertificate ca;
    std::unique_ptr<ChildProcess> agent;
    qint64 pid = 0;
    QUrl served;
    std::unique_ptr<TestPeer> canaryPage;
    std::unique_ptr<Canary> canary;
    QStringList results;
};

void TestHardeningLimits::initTestCase()
{
    QVERIFY(raiseDescriptorLimit() >= 4096);
    home.reset(new TestHome);
    seedAgentHome();
    ca = agentCa();

    rlimit ours;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &ours), 0);
    const rlimit desktop{1024, ours.rlim_max};
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &desktop), 0);
    agent.reset(new ChildProcess);
    const bool started = startMainInstance(*agent, offscreen());
    ::setrlimit(RLIMIT_NOFILE, &ours);
    QVERIFY2(started, qPrintable(agent->errText()));
    pid = agent->processId();
    served = servedUrl();
    canaryPage = launchedSession(ca, served);
    QVERIFY(canaryPage);
    canary.reset(new Canary(*canaryPage));
}

void TestHardeningLimits::cleanupTestCase()
{
    canary.reset();
    canaryPage.reset();
    if (agent) {
        TestSupport::signalProcess(pid, SIGTERM);
        agent->ended();
        writeFile(artifactsDir() + "/hardening-limits.err", agent->err);
    }
    for (const QString &line : qAsConst(results))
        qInfo().noquote() << line;
}

// Idle pages past the desktop's 1024 descriptors, and a launch from each of
// 300 of them, every address another: the bound on running applications
// holds, the rest are refused and never stored.
void TestHardeningLimits::launchFlood()
{
    const QString limits = descriptorLimits(pid);
    QCOMPARE(limits.section(' ', 0, 0), limits.section(' ', 1, 1));

    const int IDLE = 1010, LAUNCHES = 300;
    RecordingEnds masters;
    for (int i = 0; i < IDLE; ++i)
        masters.push_back(std::make_unique<RecordingEnd>(ca));
    QVERIFY(openAll(masters, [&](int) { return wssUrl("127.0.0.1", port(), served.path()); }));
    const int descriptors = descriptorsOf(pid);
    const qint64 whileOpening = canary->takeLongestWait();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < LAUNCHES; ++i)
        masters[i]->socket.sendTextMessage(
            launch(QString("http://example.invalid/flood.jnlp?action=wait&ms=10000&n=%1").arg(i)));
    auto refused = [&]() {
        int n = 0;
        for (int i = 0; i < LAUNCHES; ++i)
            n += masters[i]->got.size() > 1;
        return n;
    };
    // The canary's application runs as well.
    QVERIFY(waitUntil([&]() { return refused() + childrenOf(pid) == LAUNCHES + 1; }, 60000));
    const qint64 ms = timer.elapsed();
    QCOMPARE(childrenOf(pid), Server::MAX_RUNNING_APPS);
    for (int i = 0; i < LAUNCHES; ++i) {
        if (masters[i]->got.size() > 1)
            QVERIFY2(masters[i]->got[1].contains(
                         "\"cause\":\"too-many-apps\",\"code\":-201,\"message\":\"Nepodarilo sa spustit "
                         "aplikaciu. "),
                     qPrintable(masters[i]->got[1]));
    }
    QCOMPARE(readAll(Utils::fileConfig()).count("flood.jnlp"), Server::MAX_RUNNING_APPS - 1);
    QVERIFY(agent->state() == QProcess::Running);
    QVERIFY(canary->answersAgain());
    results << QString("launch flood: limits %1, %2 idle pages (%3 descriptors), %4 launches: %5 refused in %6 ms;"
                       " canary's longest wait %7 ms while the pages opened, %8 ms during the launches")
                   .arg(limits)
                   .arg(IDLE)
                   .arg(descriptors)
                   .arg(LAUNCHES)
                   .arg(refused())
                   .arg(ms)
                   .arg(whileOpening)
                   .arg(canary->takeLongestWait());
    masters.clear();
    // Later cases count the agent's descriptors without these applications.
    QVERIFY(waitUntil([&]() { return childrenOf(pid) == 1; }, 60000));
}

// A page that pings and never reads: the agent stops reading it once its
// pongs wait, rather than queueing one for each; read again, all come.
void TestHardeningLimits::unreadPongs()
{
    RawWebSocket raw(port());
    QVERIFY(raw.open(served.path().toUtf8()) && raw.waitFor(1));
    raw.stopReading();
    canary->takeLongestWait();
    const qint64 peak = memoryKiB(pid, "VmHWM");
    const int PINGS = 500000, PAYLOAD = 125;
    // Masked with a zero key, so the payload goes as it is.
    const QByteArray ping = QByteArray("\x89\xfd\0\0\0\0", 6) + QByteArray(PAYLOAD, 'p');
    raw.socket.write(ping.repeated(PINGS));
    auto queued = [&]() { return raw.socket.bytesToWrite() + raw.socket.encryptedBytesToWrite(); };
    qint64 last = -1;
    QElapsedTimer still;
    still.start();
    QVERIFY(waitUntil(
        [&]() {
            if (queued() != last) {
                last = queued();
                still.restart();
            }
            return last == 0 || still.elapsed() > 3000;
        },
        120000));
    const qint64 grown = memoryKiB(pid, "VmHWM") - peak;
    QVERIFY(agent->state() == QProcess::Running);
    // Holding the page off costs nothing while it lasts.
    const double cpu = cpuSeconds(pid);
    QElapsedTimer held;
    held.start();
    waitUntil([]() { return false; }, 2000);
    const double used = cpuSeconds(pid) - cpu;
    QVERIFY(canary->answersAgain());
    results << QString("unread pongs: %1 pings of %2 B, %3 KiB still with the page when the agent stopped reading,"
                       " agent peak +%4 KiB, %5 s of CPU in %6 ms while it held the page off; canary's longest"
                       " wait %7 ms")
                   .arg(PINGS)
                   .arg(PAYLOAD)
                   .arg(last >> 10)
                   .arg(grown)
                   .arg(used, 0, 'f', 2)
                   .arg(held.elapsed())
                   .arg(canary->takeLongestWait());
    // It stopped reading long before the last ping: what it holds for the
    // page is bounded whatever the page sends.
    QVERIFY2(last > (32 << 20), qPrintable(results.last()));
    QVERIFY2(used < 0.3 * double(held.elapsed()) / 1000, qPrintable(results.last()));

    qint64 got = 0;
    raw.socket.setReadBufferSize(0);
    QVERIFY2(waitUntil(
                 [&]() {
                     got += raw.socket.readAll().size();
                     return got >= qint64(PINGS) * (PAYLOAD + 2);
                 },
                 120000),
             qPrintable(QString("%1 bytes of pongs").arg(got)));
}

// The largest message there is, nested as deep as it goes, from a page alone
// and from one whose application echoes it: it goes on as it came, costing
// the agent what its size costs whatever its nesting, and the canary's
// session is served meanwhile.
void TestHardeningLimits::deepMessage()
{
    const QString bomb(int(SslWebSocketServer::MAX_MESSAGE_SIZE), '[');
    const int MiB = 1 << 20;
    TestPeer alone(ca);
    QCOMPARE(alone.first(wssUrl("127.0.0.1", port(), served.path())), MAIN_HELLO);
    std::unique_ptr<TestPeer> echoed = launchedSession(ca, served);
    QVERIFY(echoed);
    for (TestPeer *page : {&alone, echoed.get()}) {
        const int before = page->texts.count();
        QSignalSpy pongs(&page->socket, &QWebSocket::pong);
        canary->takeLongestWait();
        QVERIFY(resetPeak(pid));
        const qint64 peak = memoryKiB(pid, "VmHWM");
        const double cpu = cpuSeconds(pid);
        QElapsedTimer timer;
        timer.start();
        page->socket.sendTextMessage(bomb);
        // Answered once everything before it was read.
        page->socket.ping();
        QVERIFY(waitUntil([&]() { return !pongs.isEmpty(); }, 120000));
        if (page == echoed.get())
            QVERIFY(waitUntil([&]() { return page->texts.count() > before; }, 120000));
        const qint64 ms = timer.elapsed();
        const double used = cpuSeconds(pid) - cpu;
        const qint64 grown = memoryKiB(pid, "VmHWM") - peak;
        QVERIFY(canary->answersAgain());
        results << QString("deep message: %1 MiB of '[' from a page %2 in %3 ms, agent peak +%4 MiB, %5 s of CPU;"
                           " canary's longest wait %6 ms")
                       .arg(bomb.size() / MiB)
                       .arg(page == &alone ? "alone" : "with an echoing application")
                       .arg(ms)
                       .arg(grown >> 10)
                       .arg(used, 0, 'f', 2)
                       .arg(canary->takeLongestWait());
        QCOMPARE(page->disconnected.count(), 0);
        QCOMPARE(page->texts.count(), before + (page == echoed.get()));
        QVERIFY(page->texts.count() == before || page->text(before) == bomb);
        // Reading it as JSON took 43 times its size; relaying it there and
        // back, each way a few times.
        QVERIFY2(grown < 12 * bomb.size() / 1024, qPrintable(results.last()));
    }
}

// The process runs out of descriptors while masters keep coming: the one
// that takes the last is refused (its account check cannot run), the
// listener stops accepting and, with more masters waiting in its queue than
// the queue holds, stays near idle; once descriptors come free it serves
// every one of them by itself.
void TestHardeningLimits::descriptorsRunOut()
{
    rlimit saved;
    QCOMPARE(::prlimit(pid_t(pid), RLIMIT_NOFILE, nullptr, &saved), 0);
    const rlimit full{lowestFreeDescriptor(pid) + 1, saved.rlim_max};
    QCOMPARE(::prlimit(pid_t(pid), RLIMIT_NOFILE, &full, nullptr), 0);
    RecordingEnd last(ca);
    last.socket.open(wssUrl("127.0.0.1", port(), served.path()));
    QVERIFY(agent->waitForLog("Kontrola vlastnika spojenia sa nedala vykonat:"));
    QVERIFY2(agent->waitForLog("Nedostatok deskriptorov", 30000), qPrintable(agent->errText().right(2000)));
    QVERIFY(waitUntil([&]() { return last.gone; }, 20000));
    QCOMPARE(int(last.socket.closeCode()), 1008);
    QVERIFY(last.got.isEmpty());

    const int WAITING = 160;
    RecordingEnds waiting;
    for (int i = 0; i < WAITING; ++i) {
        waiting.push_back(std::make_unique<RecordingEnd>(ca));
        waiting.back()->socket.open(wssUrl("127.0.0.1", port(), served.path()));
    }
    int queued = 0;
    QVERIFY(waitUntil(
        [&]() {
            const int now = acceptQueue(port());
            const bool settled = now > 0 && now == queued;
            queued = now;
            return settled;
        },
        20000));
    const double cpu = cpuSeconds(pid);
    QElapsedTimer timer;
    timer.start();
    waitUntil([]() { return false; }, 3000);
    const double used = cpuSeconds(pid) - cpu;
    const qint64 ms = timer.elapsed();
    QVERIFY(canary->answersAgain());
    int answered = 0;
    for (const auto &end : waiting)
        answered += !end->got.isEmpty();
    QCOMPARE(answered, 0);

    QCOMPARE(::prlimit(pid_t(pid), RLIMIT_NOFILE, &saved, nullptr), 0);
    QElapsedTimer recovery;
    recovery.start();
    QVERIFY(waitUntil(
        [&]() {
            answered = 0;
            for (const auto &end : waiting)
                answered += end->got.value(0) == MAIN_HELLO;
            return answered == WAITING;
        },
        90000));
    results << QString("descriptors run out: %1 masters waiting, %2 of them in the accept queue; agent used %3 s of"
                       " CPU in %4 ms while short (%5 % of a core); all served %6 ms after the limit was raised;"
                       " canary's longest wait %7 ms")
                   .arg(WAITING)
                   .arg(queued)
                   .arg(used, 0, 'f', 2)
                   .arg(ms)
                   .arg(100 * used / (double(ms) / 1000), 0, 'f', 1)
                   .arg(recovery.elapsed())
                   .arg(canary->takeLongestWait());
    // A listener that watches its full queue takes all of it.
    QVERIFY2(used < 0.1 * double(ms) / 1000, qPrintable(results.last()));
}

QTEST_MAIN(TestHardeningLimits)
#include "tst_hardening_limits.moc"
