// Stands in for javaws in the tests, playing the launched application itself.
// It records its arguments and the KAVREL_* environment (with KAVREL_TEST_FDS
// set also "fds", the descriptors it inherited beyond the standard streams;
// written as JSON to the file named by KAVREL_TEST_REPORT, if any), then does
// what the query of the JNLP address, its last argument, asks:
//   action=exit&code=N   exit with N without connecting
//   action=crash         abort without connecting
//   action=wait&ms=N     keep running N ms without connecting, exit 0
//   action=chatter&mb=N  write N MiB to standard output and to standard
//                        error, then "chatter done" to error, exit 0
// otherwise it connects to KAVREL_URL as the slave, trusting only the CA of
// KAVREL_CA_FILE, sends the record as "test.report" and then
//   action=echo          sends back every text it receives, but ends at
//                        once with N on "test.exit N"
//   action=send&text=T   sends T
//   action=status&url=U  sends a "kavrel.launchStatus" with state "started"
//   action=leave&code=N  closes its connection, then exits with N
//   action=answer        answers each JSON-RPC request with the result
//                        {"method": its method, "params": its params}
// and exits 0 when the server closes the socket; 2 when it cannot connect.
// With KAVREL_TEST_STARTS set it first appends its address, one line, to
// that file.
#include "loopbackproxy.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

static QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

static QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// The descriptors beyond the standard streams it was started with.
static QJsonArray inherited;

static QJsonObject record(const QStringList &args)
{
    QJsonObject env;
    for (const char *name :
         {"KAVREL_URL", "KAVREL_CA_FILE", "KAVREL_P12_FILE", "KAVREL_P12_PASSWORD", "KAVREL_BIND_IP"}) {
        if (qEnvironmentVariableIsSet(name))
            env.insert(name, qEnvironmentVariable(name));
    }
    QJsonObject result = {{"args", QJsonArray::fromStringList(args)},
                          {"env", env},
                          {"pid", QCoreApplication::applicationPid()}};
    if (qEnvironmentVariableIsSet("KAVREL_TEST_FDS"))
        result.insert("fds", inherited);
    return result;
}

static QJsonObject notification(const QString &method, const QJsonObject &params)
{
    return {{"jsonrpc", "2.0"}, {"method", method}, {"params", params}};
}

int main(int argc, char **argv)
{
    for (int fd = 3; fd < 1024; ++fd) {
        char target[512];
        const ssize_t n = fcntl(fd, F_GETFD) == -1
            ? -1
            : readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof(target));
        if (n >= 0)
            inherited.append(QString::number(fd) + " " + QString::fromLocal8Bit(target, int(n)));
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QJsonObject report = record(args);

    const QString reportFile = qEnvironmentVariable("KAVREL_TEST_REPORT");
    if (!reportFile.isEmpty()) {
        QFile f(reportFile);
        if (!f.open(QIODevice::WriteOnly) || f.write(compact(report)) < 0) {
            err() << "cannot write " << reportFile << Qt::endl;
            return 3;
        }
    }

    const QString startsFile = qEnvironmentVariable("KAVREL_TEST_STARTS");
    if (!startsFile.isEmpty()) {
        QFile f(startsFile);
        if (!f.open(QIODevice::Append) || f.write(args.value(args.size() - 1).toUtf8() + '\n') < 0)
            return 3;
    }

    const QUrlQuery query(QUrl(args.isEmpty() ? QString() : args.last()));
    const QString action = query.queryItemValue("action", QUrl::FullyDecoded);
    if (action == "exit")
        return query.queryItemValue("code").toInt();
    if (action == "crash")
        abort();
    if (action == "wait") {
        std::this_thread::sleep_for(std::chrono::milliseconds(query.queryItemValue("ms").toInt()));
        return 0;
    }
    if (action == "chatter") {
        const QByteArray chunk(1024 * 1024, 'c');
        for (int i = 0; i < query.queryItemValue("mb").toInt(); ++i) {
            fwrite(chunk.constData(), 1, size_t(chunk.size()), stdout);
            fwrite(chunk.constData(), 1, size_t(chunk.size()), stderr);
        }
        fputs("chatter done\n", stderr);
        return 0;
    }

    const QUrl url(qEnvironmentVariable("KAVREL_URL"));
    QWebSocket socket;
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setCaCertificates(QSslCertificate::fromPath(qEnvironmentVariable("KAVREL_CA_FILE")));
    ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket.setSslConfiguration(ssl);
    // Host names go through the proxy, which still lets TLS check the name.
    LoopbackProxy proxy;
    if (QHostAddress(url.host()).isNull())
        socket.setProxy(proxy.proxy());
    else
        socket.setProxy(QNetworkProxy::NoProxy);

    bool connected = false;
    QObject::connect(&socket, &QWebSocket::sslErrors, [](const QList<QSslError> &errors) {
        for (const QSslError &e : errors)
            err() << "TLS: " << e.errorString() << Qt::endl;
    });
    QObject::connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), [&]() {
        err() << "socket: " << socket.errorString() << Qt::endl;
        if (!connected)
            app.exit(2);
    });
    QObject::connect(&socket, &QWebSocket::disconnected, [&]() {
        err() << "closed " << socket.closeCode() << Qt::endl;
        app.exit(!connected ? 2 : action == "leave" ? query.queryItemValue("code").toInt() : 0);
    });
    QObject::connect(&socket, &QWebSocket::textMessageReceived, [&](const QString &msg) {
        if (action == "echo" && msg.startsWith("test.exit "))
            app.exit(msg.mid(10).toInt());
        else if (action == "echo")
            socket.sendTextMessage(msg);
        else if (action == "answer") {
            const QJsonObject request = QJsonDocument::fromJson(msg.toUtf8()).object();
            if (request.contains("id") && request.contains("method"))
                socket.sendTextMessage(
                    compact({{"jsonrpc", "2.0"},
                             {"id", request.value("id")},
                             {"result",
                              QJsonObject{{"method", request.value("method")}, {"params", request.value("params")}}}}));
        }
    });
    QObject::connect(&socket, &QWebSocket::connected, [&]() {
        connected = true;
        socket.sendTextMessage(compact(notification("test.report", report)));
        if (action == "leave")
            socket.close();
        else if (action == "send")
            socket.sendTextMessage(query.queryItemValue("text", QUrl::FullyDecoded));
        else if (action == "status")
            socket.sendTextMessage(compact(
                notification("kavrel.launchStatus",
                             {{"state", "started"}, {"url", query.queryItemValue("url", QUrl::FullyDecoded)}})));
    });

    // Opened from the loop, so that even an early failure can end it.
    QTimer::singleShot(0, &socket, [&]() { socket.open(url); });
    return app.exec();
}
