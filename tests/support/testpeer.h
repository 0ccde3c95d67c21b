#ifndef TESTPEER_H
#define TESTPEER_H

#include <QJsonObject>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QStringList>
#include <QWebSocket>

// The client end of a page or an application, trusting nothing but the given
// CA, with everything it saw recorded; a page declares its origin as a
// browser does.
class TestPeer
{
public:
    explicit TestPeer(const QSslCertificate &ca, const QNetworkProxy &proxy = QNetworkProxy(QNetworkProxy::NoProxy),
                      const QString &origin = QString());

    QStringList received() const;
    QString text(int i) const;
    // Opens the URL and waits for the first message; empty when none came.
    QString first(const QUrl &url, int timeoutMs = 20000);
    // Index of the first JSON-RPC message with this method from index from on; -1 when none.
    int indexOf(const QString &method, int from = 0) const;
    QJsonObject params(int i) const;

    QWebSocket socket;
    QSignalSpy connected;
    QSignalSpy texts;
    QSignalSpy binaries;
    QSignalSpy disconnected;
    QSignalSpy sslErrors;
};

#endif // TESTPEER_H
