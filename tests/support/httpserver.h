#ifndef HTTPSERVER_H
#define HTTPSERVER_H

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

    // http://127.0.0.1:<port>/<path>
    QString url(const QString &path) const;
    // Files not found in the first root are looked for here, in order.
    void addRoot(const QString &directory);

    QStringList reports;

private:
    void onNewConnection();
    void serve(QTcpSocket *socket);

    QStringList roots;
};

#endif // HTTPSERVER_H
