#include "clients.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSslConfiguration>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <vector>

namespace Bench {

const QString HOSTNAME = "kavrel.localhost";

static bool namesHost(const QSslCertificate &certificate)
{
    return certificate.subjectAlternativeNames().values(QSsl::DnsEntry).contains(HOSTNAME);
}

QWebSocket *openClient(const QUrl &url, const QSslCertificate &ca)
{
    auto *socket = new QWebSocket();
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates({ca});
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket->setSslConfiguration(tls);
    // The chain is checked against ca alone. The socket checks the name
    // against the address it connects to; the certificate must also be made
    // out to HOSTNAME, which is checked here.
    QObject::connect(socket, &QWebSocket::sslErrors, socket, [socket](const QList<QSslError> &errors) {
        for (const QSslError &error : errors) {
            if (error.error() != QSslError::HostNameMismatch || !namesHost(error.certificate()))
                return;
        }
        socket->ignoreSslErrors();
    });
    QObject::connect(socket, &QWebSocket::connected, socket, [socket]() {
        if (!namesHost(socket->sslConfiguration().peerCertificate()))
            socket->abort();
    });
    socket->open(url);
    return socket;
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.hasExpired(timeoutMs))
            return false;
        QEventLoop loop;
        QTimer::singleShot(1, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

QString message(int size)
{
    const QString head = R"({"method":"b","params":{"d":")";
    const QString tail = R"("}})";
    return head + QString(size - head.size() - tail.size(), 'x') + tail;
}

// Sends inFlight at once, then one more for each reply until count came back.
double throughput(QWebSocket *page, const QString &msg, int count, int inFlight)
{
    QEventLoop loop;
    int sent = 0;
    int received = 0;
    bool altered = false;
    const auto connection = QObject::connect(page, &QWebSocket::textMessageReceived, &loop, [&](const QString &reply) {
        altered = altered || reply != msg;
        if (++received == count) {
            loop.quit();
        } else if (sent < count) {
            page->sendTextMessage(msg);
            ++sent;
        }
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    for (; sent < inFlight && sent < count; ++sent)
        page->sendTextMessage(msg);
    loop.exec();
    const qint64 elapsed = timer.nsecsElapsed();
    QObject::disconnect(connection);
    if (received != count || altered)
        return -1;
    return double(count) * msg.toUtf8().size() / (1 << 20) / (elapsed / 1e9);
}

double roundTrip(QWebSocket *page, const QString &msg, int count)
{
    QEventLoop loop;
    std::vector<qint64> trips;
    trips.reserve(count);
    bool altered = false;
    QElapsedTimer timer;
    qint64 sentAt = 0;
    const auto connection = QObject::connect(page, &QWebSocket::textMessageReceived, &loop, [&](const QString &reply) {
        trips.push_back(timer.nsecsElapsed() - sentAt);
        altered = altered || reply != msg;
        if (int(trips.size()) == count) {
            loop.quit();
            return;
        }
        sentAt = timer.nsecsElapsed();
        page->sendTextMessage(msg);
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    timer.start();
    page->sendTextMessage(msg);
    loop.exec();
    QObject::disconnect(connection);
    if (int(trips.size()) != count || altered)
        return -1;
    // The middle trip: trips that other work on the machine held up do not count.
    std::nth_element(trips.begin(), trips.begin() + count / 2, trips.end());
    return trips[count / 2] / 1000.0;
}

} // namespace Bench
