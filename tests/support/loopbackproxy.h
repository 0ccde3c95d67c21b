#ifndef LOOPBACKPROXY_H
#define LOOPBACKPROXY_H

#include <QNetworkProxy>
#include <QTcpServer>

// A tiny HTTP CONNECT proxy that sends every tunnel to 127.0.0.1. The system
// resolver here does not know *.localhost names, which browsers resolve by
// themselves; with this proxy a client connects to the loopback address while
// verifying the certificate against the host name it asked for.
class LoopbackProxy : public QTcpServer
{
    Q_OBJECT

public:
    explicit LoopbackProxy(QObject *parent = nullptr);
    QNetworkProxy proxy() const;
    // The proxy for host names, none for addresses.
    QNetworkProxy proxyFor(const QString &host) const;

private:
    void onNewConnection();
};

#endif // LOOPBACKPROXY_H
