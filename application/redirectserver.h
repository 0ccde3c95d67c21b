#ifndef REDIRECTSERVER_H
#define REDIRECTSERVER_H

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class SslWebSocketServer;

extern const char *const PROPERTY_SERVER_INDEX;

// Listens for a little while on the ports a launch URL names and tells the
// page that connects there the main server's URL.
class RedirectServer : public QObject
{
    Q_OBJECT

public:
    RedirectServer(QString url, QObject *parent);
    bool listen(QString hostname, QHostAddress address, quint16 port);

    // Reads the host names, ports and token of a launch URL; the reason it
    // is refused, or null when it is good.
    static const char *readLaunchUrl(const QString &url, QSet<QString> *hostnames, QList<quint16> *ports,
                                     QString *token);

private slots:
    void onNewConnection();
    void onServerClosed();
    void onTimeout();
    void socketDisconnected();

private:
    [[noreturn]] void reportBadUrl(const char *reason, const QString &url);
    bool listenOnAll(const QSet<QString> &hostnames, const QList<quint16> &ports);
    void waitForPorts(const QSet<QString> &hostnames, const QList<quint16> &ports);
    void startLifetime();

    QString token;
    bool waitingForPorts = false;
    QList<SslWebSocketServer *> servers;
};

#endif // REDIRECTSERVER_H
