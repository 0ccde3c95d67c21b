#ifndef HTTPSERVER_H
#define HTTPSERVER_H

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// A small HTTP server on 127.0.0.1 for the pages and files of the tests. A
// page reports a step by fetching "/report?<text>"; the texts are kept in
// order.
class HttpServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit HttpServer(const QString &root, QObject *parent = nullptr);

    // http://127.0.0.1:<port>/<path>, https:// once serving over TLS.
    QString url(const QString &path) const;
    // Serves over TLS with this certificate from now on.
    void setTls(const QSslCertificate &certificate, const QSslKey &key);
    // Files not found in the first root are looked for here, in order.
    void addRoot(const QString &directory);

    QStringList reports;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void onNewConnection();
    void serve(QTcpSocket *socket);

    QStringList roots;
    QSslCertificate tlsCertificate;
    QSslKey tlsKey;
};

#endif // HTTPSERVER_H
