#ifndef BENCH_CLIENTS_H
#define BENCH_CLIENTS_H

#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <functional>

class QWebSocket;

namespace Bench {

extern const QString HOSTNAME;

// A wss:// client of 127.0.0.1 that trusts only ca and verifies the server
// certificate for HOSTNAME, as a browser resolving the name itself would.
QWebSocket *openClient(const QUrl &url, const QSslCertificate &ca);
// Runs the event loop until done() holds; false after timeoutMs.
bool waitFor(const std::function<bool()> &done, int timeoutMs = 10000);
// A JSON-RPC text of exactly size bytes (at least 31).
QString message(int size);
// The median round trip of msg in microseconds over count trips, one in
// flight; negative on a lost or altered reply.
double roundTrip(QWebSocket *page, const QString &msg, int count);
// Payload MiB per second carried there and back, inFlight messages at a
// time; negative on a lost or altered reply.
double throughput(QWebSocket *page, const QString &msg, int count, int inFlight);

} // namespace Bench

#endif // BENCH_CLIENTS_H
