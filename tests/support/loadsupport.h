#ifndef LOADSUPPORT_H
#define LOADSUPPORT_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSslSocket>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWebSocket>

#include <functional>
#include <memory>
#include <vector>

class ChildProcess;
class QProcessEnvironment;
class QSslCertificate;
class TestPeer;

// A client end that keeps what it received and whether it is gone.
struct RecordingEnd
{
    explicit RecordingEnd(const QSslCertificate &ca);
    QWebSocket socket;
    QStringList got;
    bool gone = false;
};
using RecordingEnds = std::vector<std::unique_ptr<RecordingEnd>>;

namespace LoadSupport {
// A field of /proc/<pid>/status in KiB (VmRSS, VmHWM); pid 0 is this process; -1 when unreadable.
qint64 memoryKiB(qint64 pid = 0, const QString &field = "VmRSS");
int openDescriptors();
// Runs the event loop until done() holds, checking it every few milliseconds; without the
// pauses of QTest::qWaitFor, which would set the pace of a busy loopback.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);
// Raises the soft limit on open descriptors to the hard one; returns the soft limit.
quint64 raiseDescriptorLimit();
// Connections a server must refuse or drop, count of them with at most inFlight at a time,
// the kinds taken in turn: "wrong token", "unknown path", "garbage" (bytes instead of TLS),
// "tls junk" (TLS, then no HTTP), "half-open" (TCP closed for writing at once), "silent"
// (TCP connected and nothing more). Returns how many ended in which way; one the server has
// not ended after deadlineMs is cut off by us and counted as "... not ended".
QMap<QString, int> flood(quint16 port, const QStringList &kinds, int count, int inFlight, int deadlineMs);
// "outcome xN; ..." for what flood() returned.
QString describe(const QMap<QString, int> &outcomes);
// Opens each end at url(index), a batch at a time so the listen backlog is not
// overrun, and waits for every greeting; false when one did not come.
bool openAll(RecordingEnds &ends, const std::function<QUrl(int)> &url, int batch = 50);

// Starts `kavrel -s` with the fake javaws first on the search path; true once
// this instance (not an earlier one) has published its state file.
bool startMainInstance(ChildProcess &agent, const QProcessEnvironment &env);
// The URL in the state file of the current home.
QUrl servedUrl();
// A page of the main instance at served, reached at 127.0.0.1, with the fake
// javaws launched as its application, echoing; null when that fails.
std::unique_ptr<TestPeer> launchedSession(const QSslCertificate &ca, const QUrl &served);
// Whether the text comes back to the page.
bool echoes(TestPeer &page, const QString &text);
} // namespace LoadSupport

// A WebSocket client that writes its own frames, for what QWebSocket never
// sends: invalid UTF-8, one frame of many megabytes, a path exactly as given,
// a page that stops reading. Trusts any certificate.
class RawWebSocket
{
public:
    explicit RawWebSocket(quint16 port);
    // The TLS and HTTP handshakes for the request target as written; true on "101".
    bool open(const QByteArray &path, int timeoutMs = 20000);
    // One final, masked frame; a declared size other than the payload's makes a frame whose rest never comes.
    void send(int opcode, const QByteArray &payload, qint64 declared = -1);
    // Waits for a frame with this opcode; false when the connection ended or closed first.
    bool waitFor(int opcode, int timeoutMs = 20000);
    // Leaves what arrives in the kernel's buffers, as a page that no longer reads.
    void stopReading();
    // "stays open" when a ping after everything sent is answered, else how it ended.
    QString outcome(int timeoutMs = 20000);

    QSslSocket socket;
    QByteArray response;
    QList<QPair<int, QByteArray>> frames;
    int closeCode = -1;
    QString closeReason;

private:
    void read();

    quint16 port;
    QByteArray buffer;
    QMetaObject::Connection reading;
};

#endif // LOADSUPPORT_H
