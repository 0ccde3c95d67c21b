// Benchmarks of the agent: relay round trip and throughput against a direct
// echo and a Node relay, idle connections, launch and first start, and the
// wake-ups of an idle main instance.
//   kavrelbench --kavrel EXE --relay relay.js --root DIR [--runs N] [--only relay|launch|idle|wakeups]
// runs them all in the current (throwaway) HOME; its children are
//   kavrelbench echo          a direct echo server with the agent's TLS set-up
//   kavrelbench hold URL N    N idle masters held open until killed
#include "certificategenerator.h"
#include "clients.h"
#include "sslwebsocketserver.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTimer>
#include <QUuid>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

using namespace Bench;

static const int TRIPS = 2000;
// Enough for the Node relay's compiler to settle.
static const int WARM_UP = 1000;
static const int BULK_MESSAGES = 400;
static const int BULK_IN_FLIGHT = 8;
static const int IDLE = 1000;
static const int CONNECTS = 20;
static const int IDLE_MINUTE_MS = 60000;
static const QString APP_URL = "https://bench.invalid/app.jnlp";

static void out(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// The figures in the order they are printed, whatever order they ran in.
static std::map<int, QStringList> report;

static void note(int order, const QString &line)
{
    report[order] << line;
}

static void progress(const QString &what)
{
    std::fprintf(stderr, "%s\n", qPrintable(what));
}

static bool fail(const QString &what)
{
    std::fprintf(stderr, "kavrelbench: %s\n", qPrintable(what));
    return false;
}

static QSslCertificate agentCa()
{
    return QSslCertificate::fromPath(Utils::fileCertificateCa()).value(0);
}

static long rssKiB(qint64 pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

static void settle(int ms)
{
    QElapsedTimer timer;
    timer.start();
    waitFor([&]() { return timer.hasExpired(ms); }, ms + 1000);
}

static QString readLine(QProcess *process, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!process->canReadLine() && !timer.hasExpired(timeoutMs)) {
        if (!process->waitForReadyRead(100) && process->state() == QProcess::NotRunning)
            break;
    }
    return QString::fromUtf8(process->readLine()).trimmed();
}

static void stop(QProcess *process)
{
    if (!process)
        return;
    process->terminate();
    if (!process->waitForFinished(10000)) {
        process->kill();
        process->waitForFinished(5000);
    }
    delete process;
}

// ---- the servers -----------------------------------------------------------

enum class Kind { Agent, Echo, Relay };

struct Server
{
    Kind kind = Kind::Agent;
    QProcess *process = nullptr;
    QUrl master; // where a page connects, always by address
    double startMs = 0;
    long idleKiB = 0;
};

struct Options
{
    QString kavrel;
    QString relay;
    QString root;
    int runs = 5;
    QString only; // one group of figures instead of all
};

static QString slaveFile(const Options &options)
{
    return options.root + "/slave-url";
}

static QProcess *child(const QString &program, const QStringList &args, const QString &log)
{
    auto *process = new QProcess();
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setStandardErrorFile(log, QIODevice::Append);
    process->start(program, args);
    return process;
}

static bool startAgent(const Options &options, Server *server)
{
    QFile::remove(Utils::fileState());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KAVREL_BENCH_SLAVE_FILE", slaveFile(options));
    auto *process = new QProcess();
    process->setProcessEnvironment(env);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(options.root + "/agent.log", QIODevice::Append);
    QElapsedTimer timer;
    timer.start();
    process->start(options.kavrel, {"-s"});
    server->kind = Kind::Agent;
    server->process = process;
    // The state file appears by a rename, so once it is there it is complete.
    if (!waitFor([]() { return QFile::exists(Utils::fileState()); }, 30000))
        return fail("the agent wrote no state file; see " + options.root + "/agent.log");
    server->startMs = timer.nsecsElapsed() / 1e6;
    const QUrl url(QString::fromUtf8(Utils::readFile(Utils::fileState())).trimmed());
    server->master = QUrl(QString("wss://127.0.0.1:%1%2").arg(url.port()).arg(url.path()));
    settle(500);
    server->idleKiB = rssKiB(process->processId());
    return true;
}

static bool startEcho(const Options &options, Server *server)
{
    server->kind = Kind::Echo;
    server->process = child(QCoreApplication::applicationFilePath(), {"echo"}, options.root + "/echo.log");
    const int port = readLine(server->process, 10000).toInt();
    server->master = QUrl(QString("wss://127.0.0.1:%1/").arg(port));
    return port > 0 || fail("the echo server did not start");
}

static bool startRelay(const Options &options, Server *server)
{
    server->kind = Kind::Relay;
    server->process = child("node",
                            {options.relay, Utils::fileCertificateSsl(HOSTNAME), Utils::passwordCertificateSsl(),
                             "relay-token"},
                            options.root + "/relay.log");
    const int port = readLine(server->process, 10000).toInt();
    server->master = QUrl(QString("wss://127.0.0.1:%1/master/relay-token").arg(port));
    return port > 0 || fail("the Node relay did not start");
}

static bool start(const Options &options, Kind kind, Server *server)
{
    switch (kind) {
    case Kind::Agent:
        return startAgent(options, server);
    case Kind::Echo:
        return startEcho(options, server);
    case Kind::Relay:
        return startRelay(options, server);
    }
    return false;
}

// ---- a page and its application --------------------------------------------

struct Session
{
    QWebSocket *page = nullptr;
    QWebSocket *app = nullptr; // none in front of the echo server
};

static void closeSession(Session *session)
{
    for (QWebSocket *socket : {session->page, session->app}) {
        if (!socket)
            continue;
        socket->close();
        waitFor([socket]() { return socket->state() == QAbstractSocket::UnconnectedState; }, 2000);
        socket->deleteLater();
    }
    *session = Session();
}

// The page connects and is greeted; before the agent the page asks for a
// launch and the stand-in javaws hands over the application's address; the
// Node relay names the session in its greeting instead.
static bool openSession(const Options &options, const Server &server, Session *session)
{
    const QSslCertificate ca = agentCa();
    QStringList greetings;
    session->page = openClient(server.master, ca);
    auto greeted = QObject::connect(session->page, &QWebSocket::textMessageReceived,
                                    [&](const QString &msg) { greetings << msg; });
    if (server.kind == Kind::Echo) {
        QObject::disconnect(greeted);
        return waitFor([&]() { return session->page->state() == QAbstractSocket::ConnectedState; })
            || fail("no connection to the echo server");
    }
    if (!waitFor([&]() { return !greetings.isEmpty(); }))
        return fail("the page was not greeted");
    QObject::disconnect(greeted);

    QString slavePath;
    if (server.kind == Kind::Agent) {
        QFile::remove(slaveFile(options));
        session->page->sendTextMessage(
            QString(R"({"id":"1","jsonrpc":"2.0","method":"kavrel.launch","params":{"url":"%1"}})").arg(APP_URL));
        if (!waitFor([&]() { return QFile::exists(slaveFile(options)); }))
            return fail("the agent launched no application");
        slavePath = QUrl(QString::fromUtf8(Utils::readFile(slaveFile(options))).trimmed()).path();
    } else {
        const QJsonObject hello = QJsonDocument::fromJson(greetings.first().toUtf8()).object();
        slavePath = "/slave/" + hello.value("params").toObject().value("session").toString();
    }

    QUrl appUrl = server.master;
    appUrl.setPath(slavePath);
    QWebSocket *app = openClient(appUrl, ca);
    session->app = app;
    bool appGreeted = false;
    auto hello = QObject::connect(app, &QWebSocket::textMessageReceived, [&]() { appGreeted = true; });
    if (!waitFor([&]() { return appGreeted; }))
        return fail("the application was not greeted");
    QObject::disconnect(hello);
    QObject::connect(app, &QWebSocket::textMessageReceived, app,
                     [app](const QString &msg) { app->sendTextMessage(msg); });
    return true;
}

// The median time from opening a master connection to its greeting, in ms;
// every connection is checked for its account on the way in.
static double connectToHello(const QUrl &master)
{
    const QSslCertificate ca = agentCa();
    std::vector<double> times;
    for (int i = 0; i < CONNECTS; ++i) {
        QElapsedTimer timer;
        timer.start();
        QWebSocket *page = openClient(master, ca);
        bool greeted = false;
        QObject::connect(page, &QWebSocket::textMessageReceived, [&]() { greeted = true; });
        const bool ok = waitFor([&]() { return greeted; });
        times.push_back(timer.nsecsElapsed() / 1e6);
        page->close();
        page->deleteLater();
        if (!ok)
            return -1;
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

static double measureRoundTrip(QWebSocket *page)
{
    const QString msg = message(32);
    roundTrip(page, msg, WARM_UP);
    return roundTrip(page, msg, TRIPS);
}

// ---- statistics and output -------------------------------------------------

static double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

static QString figure(const std::vector<double> &values, int precision = 1)
{
    if (values.empty())
        return "n/a";
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return QString("%1  (runs %2..%3)")
        .arg(median(values), 8, 'f', precision)
        .arg(*low, 0, 'f', precision)
        .arg(*high, 0, 'f', precision);
}

static QString ratio(double value, double base)
{
    return QString::number(value / base, 'f', 2) + "x";
}

static QString goal(const QString &text, bool met)
{
    return QString("  %1  %2").arg(met ? "MET   " : "MISSED").arg(text);
}

static QString loadAverage()
{
    return QString::fromLatin1(Utils::readFile("/proc/loadavg")).section(' ', 0, 2);
}

// ---- the figures -----------------------------------------------------------

static const std::map<Kind, QString> NAMES = {{Kind::Agent, "agent"},
                                              {Kind::Echo, "direct echo (Qt)"},
                                              {Kind::Relay, "Node ws relay"}};

static QString row(const QString &name, const std::vector<double> &values)
{
    return QString("   %1 %2").arg(name, -44).arg(figure(values));
}

static bool relayFigures(const Options &options, const std::map<Kind, Server> &servers)
{
    std::map<Kind, std::vector<double>> trips, bulk, connects;
    for (int run = 0; run < options.runs; ++run) {
        progress(QString("relay, run %1 of %2").arg(run + 1).arg(options.runs));
        for (const auto &[kind, server] : servers) {
            Session session;
            if (!openSession(options, server, &session))
                return false;
            const double trip = measureRoundTrip(session.page);
            const double mib = throughput(session.page, message(64 * 1024), BULK_MESSAGES, BULK_IN_FLIGHT);
            closeSession(&session);
            if (trip < 0 || mib < 0)
                return fail("lost or altered replies from " + NAMES.at(kind));
            trips[kind].push_back(trip);
            bulk[kind].push_back(mib);
            if (kind != Kind::Echo)
                connects[kind].push_back(connectToHello(server.master));
        }
    }
    const double agent = median(trips[Kind::Agent]);
    const double echo = median(trips[Kind::Echo]);
    const double relay = median(trips[Kind::Relay]);
    note(1, QString("1. Round trip page -> server -> application -> server -> page, 32-byte text, one in flight"));
    note(1, QString("   (us, the median trip of each run of %1)").arg(TRIPS));
    for (const auto &[kind, values] : trips)
        note(1, row(NAMES.at(kind), values));
    note(1, QString("   agent / direct echo %1, agent / Node relay %2").arg(ratio(agent, echo), ratio(agent, relay)));
    note(1, goal(QString("round trip at most 2.2x the direct echo: %1").arg(ratio(agent, echo)), agent <= 2.2 * echo));
    note(1, goal(QString("round trip below the Node relay: %1").arg(ratio(agent, relay)), agent < relay));
    note(1,
         QString("   Throughput, 64 KiB text, %1 in flight (MiB/s of payload there and back; %2 messages a run)")
             .arg(BULK_IN_FLIGHT)
             .arg(BULK_MESSAGES));
    for (const auto &[kind, values] : bulk)
        note(1, row(NAMES.at(kind), values));
    note(1,
         QString("   agent / direct echo %1, agent / Node relay %2")
             .arg(ratio(median(bulk[Kind::Agent]), median(bulk[Kind::Echo])),
                  ratio(median(bulk[Kind::Agent]), median(bulk[Kind::Relay]))));
    note(1, QString("   Connect to hello, a new master (ms, the median of %1 connections a run)").arg(CONNECTS));
    for (const auto &[kind, values] : connects)
        note(1, row(NAMES.at(kind), values));
    return true;
}

// One run on a fresh server: round trip, then IDLE masters held open by
// another process, then memory and the round trip again.
static bool idleRun(const Options &options, Kind kind, Server *server, double *none, double *idle,
                    double *perConnectionKiB, double *connectMs)
{
    Session session;
    if (!start(options, kind, server) || !openSession(options, *server, &session))
        return false;
    *none = measureRoundTrip(session.page);
    const long before = rssKiB(server->process->processId());
    QProcess *holder = child(QCoreApplication::applicationFilePath(),
                             {"hold", server->master.toString(), QString::number(IDLE)}, options.root + "/holder.log");
    const bool held = readLine(holder, 180000) == "ready";
    if (held) {
        settle(1000);
        *perConnectionKiB = double(rssKiB(server->process->processId()) - before) / IDLE;
        *idle = measureRoundTrip(session.page);
        *connectMs = connectToHello(server->master);
    }
    closeSession(&session);
    holder->kill();
    stop(holder);
    if (!held)
        return fail("the idle connections were not all greeted; see " + options.root + "/holder.log");
    return (*none >= 0 && *idle >= 0) || fail("lost or altered replies from " + NAMES.at(kind));
}

static bool idleFigures(const Options &options)
{
    std::map<Kind, std::vector<double>> none, idle, perConnection, connects;
    std::vector<double> startMs, idleMiB;
    for (int run = 0; run < options.runs; ++run) {
        progress(QString("idle connections, run %1 of %2").arg(run + 1).arg(options.runs));
        for (Kind kind : {Kind::Agent, Kind::Relay}) {
            Server server;
            double trip = -1, tripIdle = -1, kib = 0, connectMs = -1;
            const bool ok = idleRun(options, kind, &server, &trip, &tripIdle, &kib, &connectMs);
            stop(server.process);
            if (!ok)
                return false;
            none[kind].push_back(trip);
            idle[kind].push_back(tripIdle);
            perConnection[kind].push_back(kib);
            connects[kind].push_back(connectMs);
            if (kind == Kind::Agent) {
                startMs.push_back(server.startMs);
                idleMiB.push_back(server.idleKiB / 1024.0);
            }
        }
    }
    note(2,
         QString("2. %1 idle masters, each its own session, held open by another process (fresh server each run)")
             .arg(IDLE));
    for (Kind kind : {Kind::Agent, Kind::Relay}) {
        const double slower = median(idle[kind]) / median(none[kind]);
        note(2, row(NAMES.at(kind) + ", round trip us, none", none[kind]));
        note(2, row(NAMES.at(kind) + QString(", round trip us, %1 idle").arg(IDLE), idle[kind]));
        note(2,
             QString("   %1 with / without idle %2")
                 .arg(NAMES.at(kind), ratio(median(idle[kind]), median(none[kind]))));
        note(2, row(NAMES.at(kind) + ", KiB resident per idle conn.", perConnection[kind]));
        note(2, row(NAMES.at(kind) + QString(", connect to hello ms, %1 idle").arg(IDLE), connects[kind]));
        if (kind == Kind::Agent)
            note(2,
                 goal(QString("round trip with %1 idle at most 1.1x none: %2x").arg(IDLE).arg(slower, 0, 'f', 2),
                      slower <= 1.1));
    }
    const double agentKiB = median(perConnection[Kind::Agent]);
    const double relayKiB = median(perConnection[Kind::Relay]);
    note(2,
         goal(QString("resident memory per idle connection at most the Node relay's: %1 vs %2 KiB, %3")
                  .arg(agentKiB, 0, 'f', 1)
                  .arg(relayKiB, 0, 'f', 1)
                  .arg(ratio(agentKiB, relayKiB)),
              agentKiB <= relayKiB));
    note(5, row("main instance, start to state file ms", startMs));
    note(5, row("main instance, idle resident MiB", idleMiB));
    return true;
}

// How often the process's threads went to sleep and were woken: every wake-up
// of an idle event loop (a timer, a notifier) ends in one more of these.
static long contextSwitches(qint64 pid)
{
    long total = 0;
    const QStringList tasks = QDir(QString("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile status(QString("/proc/%1/task/%2/status").arg(pid).arg(task));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                total += line.mid(line.indexOf(':') + 1).trimmed().toLong();
    }
    return total;
}

// A main instance with no connection at all, left alone for a minute: on a
// laptop every wake-up costs battery.
static bool wakeUpFigures(const Options &options)
{
    std::vector<double> wakeUps;
    for (int run = 0; run < options.runs; ++run) {
        progress(QString("idle wake-ups, run %1 of %2 (a minute each)").arg(run + 1).arg(options.runs));
        Server server;
        const bool started = startAgent(options, &server);
        if (started) {
            settle(2000);
            const long before = contextSwitches(server.process->processId());
            settle(IDLE_MINUTE_MS);
            wakeUps.push_back(double(contextSwitches(server.process->processId()) - before));
        }
        stop(server.process);
        if (!started)
            return false;
    }
    note(6, row("main instance, wake-ups in a minute of idle", wakeUps));
    note(6, goal(QString("no wake-up in a minute of idle: %1").arg(median(wakeUps)), median(wakeUps) == 0));
    return true;
}

static quint16 freeLaunchPort()
{
    forever
    {
        const quint16 port = quint16(QRandomGenerator::global()->bounded(49152, 65536));
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, port))
            return port;
    }
}

// From starting the launcher to the page's greeting by its redirect server;
// the page knocks every millisecond until the listener is there.
static double launchToHello(const Options &options)
{
    const quint16 port = freeLaunchPort();
    const QString token = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QUrl getUrl(QString("wss://127.0.0.1:%1/getUrl/%2").arg(port).arg(token));
    const QSslCertificate ca = agentCa();
    QElapsedTimer timer;
    double helloMs = -1;
    QWebSocket *page = nullptr;
    std::function<void()> knock = [&]() {
        page = openClient(getUrl, ca);
        QWebSocket *current = page;
        QObject::connect(current, &QWebSocket::textMessageReceived, [&](const QString &msg) {
            if (helloMs < 0 && msg.contains(R"("method":"hello")"))
                helloMs = timer.nsecsElapsed() / 1e6;
        });
        QObject::connect(current, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), current,
                         [&, current]() {
                             if (current != page || helloMs >= 0)
                                 return;
                             current->deleteLater();
                             QTimer::singleShot(1, knock);
                         });
    };
    QProcess launcher;
    launcher.setStandardOutputFile(QProcess::nullDevice());
    launcher.setStandardErrorFile(options.root + "/launcher.log", QIODevice::Append);
    timer.start();
    launcher.start(options.kavrel,
                   {QString("obrenta-kavrel:?hostnames=%1&ports=%2&token=%3").arg(HOSTNAME).arg(port).arg(token)});
    knock();
    const bool greeted = waitFor([&]() { return helloMs >= 0; }, 20000);
    page->close();
    if (!launcher.waitForFinished(10000))
        launcher.kill();
    page->deleteLater();
    return greeted ? helloMs : -1;
}

static bool launchFigures(const Options &options)
{
    std::vector<double> launch;
    for (int run = 0; run < options.runs; ++run) {
        progress(QString("launch, run %1 of %2").arg(run + 1).arg(options.runs));
        const double ms = launchToHello(options);
        if (ms < 0)
            return fail("no greeting from the redirect server; see " + options.root + "/launcher.log");
        launch.push_back(ms);
    }
    note(3, "3. Launch and first start");
    note(3, row("launch URL to redirect hello ms", launch));
    note(3, goal(QString("launch to hello under 100 ms: %1 ms").arg(median(launch), 0, 'f', 1), median(launch) < 100));
    return true;
}

static bool firstStart(const Options &options)
{
    std::vector<double> generate;
    CertificateGenerator generator;
    for (int run = 0; run < options.runs; ++run) {
        generator.remove();
        QElapsedTimer timer;
        timer.start();
        if (!generator.generate())
            return fail("CertificateGenerator::generate failed");
        generate.push_back(timer.nsecsElapsed() / 1e6);
    }
    note(4, row("first start, certificates made ms", generate));
    return true;
}

static int runAll(const Options &options)
{
    const QString loadBefore = loadAverage();
    Utils::createDirConfig();
    QFile config(Utils::fileConfig());
    if (!config.open(QIODevice::WriteOnly) || config.write("[General]\nlang=sk\n") < 0) {
        fail("cannot store the language");
        return 1;
    }
    config.close();
    progress("first start");
    // Also leaves the certificates every server below presents.
    if (!firstStart(options))
        return 1;

    const auto wanted = [&options](const QString &group) { return options.only.isEmpty() || options.only == group; };
    std::map<Kind, Server> servers;
    bool ok = true;
    // The launch goes to the running main instance, as it would on a desktop.
    if (wanted("relay") || wanted("launch")) {
        for (Kind kind : {Kind::Agent, Kind::Echo, Kind::Relay})
            ok = ok && start(options, kind, &servers[kind]);
        ok = ok && (!wanted("relay") || relayFigures(options, servers));
        ok = ok && (!wanted("launch") || launchFigures(options));
        for (auto &entry : servers)
            stop(entry.second.process);
    }
    ok = ok && (!wanted("idle") || idleFigures(options));
    ok = ok && (!wanted("wakeups") || wakeUpFigures(options));
    if (!ok)
        return 1;
    out(QString("Medians of %1 runs, with the lowest and highest run; ratios are of medians from the same run.")
            .arg(options.runs));
    out(QString("Load average (1, 5, 15 min) before %1, after %2; two cores shared with other work.")
            .arg(loadBefore, loadAverage()));
    for (const auto &section : report) {
        for (const QString &line : section.second)
            out(line);
    }
    return 0;
}

// ---- the children ----------------------------------------------------------

static int runEcho()
{
    SslWebSocketServer server(HOSTNAME, nullptr);
    QObject::connect(&server, &QWebSocketServer::newConnection, [&server]() {
        while (QWebSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QWebSocket::textMessageReceived, socket,
                             [socket](const QString &msg) { socket->sendTextMessage(msg); });
            QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 1;
    out(QString::number(server.serverPort()));
    return QCoreApplication::exec();
}

// Opens a few at a time, each next one once the previous is greeted, so the
// server is never flooded with handshakes.
static int runHold(const QUrl &url, int count)
{
    const QSslCertificate ca = agentCa();
    int opened = 0;
    int greeted = 0;
    std::function<void()> openNext = [&]() {
        QWebSocket *socket = openClient(url, ca);
        ++opened;
        QObject::connect(socket, &QWebSocket::textMessageReceived, socket, [&, socket]() {
            if (socket->property("greeted").toBool())
                return;
            socket->setProperty("greeted", true);
            ++greeted;
            if (opened < count)
                openNext();
        });
    };
    for (int i = 0; i < 20 && opened < count; ++i)
        openNext();
    if (!waitFor([&]() { return greeted == count; }, 170000)) {
        fail(QString("%1 of %2 greeted").arg(greeted).arg(count));
        return 1;
    }
    out("ready");
    return QCoreApplication::exec();
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == "echo")
        return runEcho();
    if (args.value(1) == "hold")
        return runHold(QUrl(args.value(2)), args.value(3).toInt());
    Options options;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--kavrel")
            options.kavrel = args[i + 1];
        else if (args[i] == "--relay")
            options.relay = args[i + 1];
        else if (args[i] == "--root")
            options.root = args[i + 1];
        else if (args[i] == "--runs")
            options.runs = std::max(1, args[i + 1].toInt());
        else if (args[i] == "--only")
            options.only = args[i + 1];
    }
    if (options.kavrel.isEmpty() || options.relay.isEmpty() || options.root.isEmpty()) {
        fail("usage: kavrelbench --kavrel EXE --relay relay.js --root DIR [--runs N] [--only "
             "relay|launch|idle|wakeups]");
        return 2;
    }
    return runAll(options);
}
