#include "loadsupport.h"

#include "childprocess.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QTimer>
#include <QWebSocket>

#include <sys/resource.h>
#include <sys/socket.h>

namespace LoadSupport {

qint64 memoryKiB(qint64 pid, const QString &field)
{
    QFile status(pid ? QString("/proc/%1/status").arg(pid) : QString("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field.toLatin1() + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll, deadline;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        // What was deleted later outside any event loop goes here.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (done())
            loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start(5);
    deadline.setSingleShot(true);
    deadline.start(timeoutMs);
    loop.exec();
    return done();
}

quint64 raiseDescriptorLimit()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

static QSslConfiguration trustingAll()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

static QObject *startAttempt(const QString &kind, quint16 port, const std::function<void(const QString &)> &end)
{
    if (kind == "wrong token" || kind == "unknown path") {
        QWebSocket *ws = new QWebSocket;
        ws->setSslConfiguration(trustingAll());
        QObject::connect(ws, &QWebSocket::disconnected, ws, [ws, kind, end]() {
            end(QString("%1: %2 \"%3\"").arg(kind).arg(int(ws->closeCode())).arg(ws->closeReason()));
        });
        ws->open(QUrl(QString("wss://127.0.0.1:%1/%2").arg(port).arg(kind == "wrong token" ? "master/x" : "getUrl/x")));
        return ws;
    }
    QTcpSocket *socket = kind == "tls junk" ? new QSslSocket : new QTcpSocket;
    // A child, so it goes with the socket.
    QBuffer *reply = new QBuffer(socket);
    QObject::connect(socket, &QTcpSocket::readyRead, socket,
                     [socket, reply]() { reply->buffer() += socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [kind, reply, end]() {
        const QByteArray &got = reply->buffer();
        end(kind + ": ended by server, " + (got.isEmpty() ? "no reply" : "reply " + got.split('\r').first()));
    });
    // Printable, so that no length in it makes TLS wait for more.
    QByteArray junk(512, 0);
    for (char &c : junk)
        c = char(QRandomGenerator::global()->bounded(32, 127));
    if (QSslSocket *ssl = qobject_cast<QSslSocket *>(socket)) {
        ssl->setSslConfiguration(trustingAll());
        QObject::connect(ssl, &QSslSocket::encrypted, ssl, [ssl, junk]() { ssl->write(junk + "\r\n\r\n"); });
        ssl->connectToHostEncrypted("127.0.0.1", port);
        return ssl;
    }
    QObject::connect(socket, &QTcpSocket::connected, socket, [socket, kind, junk]() {
        if (kind == "garbage")
            socket->write(junk);
        else if (kind == "half-open")
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket;
}

QMap<QString, int> flood(quint16 port, const QStringList &kinds, int count, int inFlight, int deadlineMs)
{
    QMap<QString, int> outcomes;
    QList<QPointer<QObject>> running;
    int started = 0, done = 0;
    while (done < count) {
        while (running.size() < inFlight && started < count) {
            const QString kind = kinds.at(started++ % kinds.size());
            auto attempt = std::make_shared<QPointer<QObject>>();
            auto end = [&, attempt](const QString &how) {
                QObject *object = attempt->data();
                if (!object || !running.removeOne(*attempt))
                    return;
                ++outcomes[how];
                ++done;
                // Its deadline may still fire before the deletion, even after this function.
                object->setProperty("ended", true);
                object->disconnect();
                object->deleteLater();
            };
            *attempt = startAttempt(kind, port, end);
            running << *attempt;
            QTimer::singleShot(deadlineMs, attempt->data(), [attempt, kind, end]() {
                if (attempt->data()->property("ended").toBool())
                    return;
                if (QAbstractSocket *s = qobject_cast<QAbstractSocket *>(attempt->data()))
                    s->abort();
                else if (QWebSocket *ws = qobject_cast<QWebSocket *>(attempt->data()))
                    ws->abort();
                end(kind + ": not ended");
            });
        }
        if (!waitUntil([&]() { return done == count || (running.size() < inFlight && started < count); },
                       deadlineMs * 2))
            break;
    }
    const QList<QPointer<QObject>> left = running;
    for (const QPointer<QObject> &object : left) {
        if (object)
            object->disconnect();
        delete object.data();
    }
    return outcomes;
}

QString describe(const QMap<QString, int> &outcomes)
{
    QStringList parts;
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
        parts << QString("%1 x%2").arg(it.key()).arg(it.value());
    return parts.join("; ");
}

bool openAll(RecordingEnds &ends, const std::function<QUrl(int)> &url, int batch)
{
    for (int from = 0; from < int(ends.size()); from += batch) {
        const int to = qMin(from + batch, int(ends.size()));
        for (int i = from; i < to; ++i)
            ends[i]->socket.open(url(i));
        auto greeted = [&]() {
            for (int i = from; i < to; ++i)
                if (ends[i]->got.isEmpty())
                    return false;
            return true;
        };
        if (!waitUntil(greeted, 60000))
            return false;
    }
    return true;
}

bool startMainInstance(ChildProcess &agent, const QProcessEnvironment &env)
{
    QProcessEnvironment withHelpers = env;
    withHelpers.insert("PATH", TestSupport::pathWithHelpers());
    agent.setProcessEnvironment(withHelpers);
    agent.start(TestSupport::kavrelPath(), {"-s"});
    auto published = [&]() {
        const QFileInfo state(Utils::fileState()), lock(Utils::fileLock());
        return TestSupport::lockOwner() == agent.processId() && state.exists()
            && state.lastModified() >= lock.lastModified() && TestSupport::readAll(state.filePath()).endsWith('\n');
    };
    // Certificates and a loaded machine make a start slow.
    return agent.waitForStarted(10000) && waitUntil(published, 60000);
}

QUrl servedUrl()
{
    return QUrl(QString::fromUtf8(TestSupport::readAll(Utils::fileState())).trimmed());
}

std::unique_ptr<TestPeer> launchedSession(const QSslCertificate &ca, const QUrl &served)
{
    auto page = std::make_unique<TestPeer>(ca);
    if (page->first(TestSupport::wssUrl("127.0.0.1", quint16(served.port()), served.path())).isEmpty())
        return nullptr;
    page->socket.sendTextMessage(
        R"({"jsonrpc":"2.0","method":"kavrel.launch","params":{"url":"http://example.invalid/a.jnlp?action=echo"}})");
    if (!waitUntil([&]() { return page->indexOf("test.report") > 0; }, 30000))
        return nullptr;
    return page;
}

bool echoes(TestPeer &page, const QString &text)
{
    page.socket.sendTextMessage(text);
    return waitUntil([&]() { return page.received().last() == text; }, 20000);
}

} // namespace LoadSupport

RecordingEnd::RecordingEnd(const QSslCertificate &ca)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({ca});
    socket.setSslConfiguration(configuration);
    QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString &m) { got << m; });
    QObject::connect(&socket, &QWebSocket::disconnected, [this]() { gone = true; });
}

RawWebSocket::RawWebSocket(quint16 serverPort)
    : port(serverPort)
{
    socket.setSslConfiguration(LoadSupport::trustingAll());
    reading = QObject::connect(&socket, &QSslSocket::readyRead, [this]() { read(); });
}

bool RawWebSocket::open(const QByteArray &path, int timeoutMs)
{
    socket.connectToHostEncrypted("127.0.0.1", port);
    if (!socket.waitForEncrypted(timeoutMs))
        return false;
    socket.write("GET " + path
                 + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    return LoadSupport::waitUntil(
               [&]() { return !response.isEmpty() || socket.state() != QAbstractSocket::ConnectedState; }, timeoutMs)
        && response.startsWith("HTTP/1.1 101 ");
}

void RawWebSocket::send(int opcode, const QByteArray &payload, qint64 declared)
{
    QByteArray frame(1, char(0x80 | opcode));
    const quint64 size = quint64(declared < 0 ? payload.size() : declared);
    if (size < 126) {
        frame += char(0x80 | size);
    } else if (size < 65536) {
        frame += char(0x80 | 126);
        frame += char(size >> 8);
        frame += char(size);
    } else {
        frame += char(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += char(size >> shift);
    }
    const quint32 key = QRandomGenerator::global()->generate();
    const char mask[4] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key)};
    frame.append(mask, 4);
    const int head = frame.size();
    frame += payload;
    char *data = frame.data() + head;
    for (int i = 0; i < payload.size(); ++i)
        data[i] ^= mask[i % 4];
    socket.write(frame);
}

bool RawWebSocket::waitFor(int opcode, int timeoutMs)
{
    auto seen = [&]() {
        for (const auto &frame : qAsConst(frames))
            if (frame.first == opcode)
                return true;
        return false;
    };
    return LoadSupport::waitUntil(
               [&]() { return seen() || closeCode >= 0 || socket.state() == QAbstractSocket::UnconnectedState; },
               timeoutMs)
        && seen();
}

void RawWebSocket::stopReading()
{
    QObject::disconnect(reading);
    socket.setReadBufferSize(4096);
}

QString RawWebSocket::outcome(int timeoutMs)
{
    if (socket.state() == QAbstractSocket::ConnectedState && closeCode < 0)
        send(9, "ping");
    if (waitFor(10, timeoutMs))
        return "stays open";
    if (closeCode >= 0)
        return QString("close %1 \"%2\"").arg(closeCode).arg(closeReason);
    return socket.state() == QAbstractSocket::UnconnectedState ? "dropped, no close frame" : "no answer";
}

void RawWebSocket::read()
{
    buffer += socket.readAll();
    if (response.isEmpty()) {
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        response = buffer.left(end + 4);
        buffer.remove(0, end + 4);
    }
    // Frames from a server are not masked.
    while (buffer.size() >= 2) {
        quint64 size = quint8(buffer[1]) & 0x7f;
        int head = 2;
        if (size >= 126) {
            head = size == 126 ? 4 : 10;
            if (buffer.size() < head)
                return;
            size = 0;
            for (int i = 2; i < head; ++i)
                size = size << 8 | quint8(buffer[i]);
        }
        if (quint64(buffer.size()) < head + size)
            return;
        const int opcode = buffer[0] & 0x0f;
        const QByteArray payload = buffer.mid(head, int(size));
        buffer.remove(0, head + int(size));
        frames << qMakePair(opcode, payload);
        if (opcode == 8) {
            closeCode = payload.size() >= 2 ? quint8(payload[0]) << 8 | quint8(payload[1]) : 1005;
            closeReason = QString::fromUtf8(payload.mid(2));
        }
    }
}
