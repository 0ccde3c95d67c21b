#include "httpserver.h"

#include <QFile>
#include <QFileInfo>
#include <QSslSocket>
#include <QTcpSocket>
#include <QUrl>

static const int MAX_REQUEST = 64 * 1024;

static QByteArray contentType(const QString &path)
{
    if (path.endsWith(".html"))
        return "text/html; charset=utf-8";
    if (path.endsWith(".js"))
        return "text/javascript";
    if (path.endsWith(".jnlp"))
        return "application/x-java-jnlp-file";
    if (path.endsWith(".jar"))
        return "application/java-archive";
    return "application/octet-stream";
}

HttpServer::HttpServer(const QString &documentRoot, QObject *parent)
    : QTcpServer(parent)
    , roots{documentRoot}
{
    connect(this, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
    listen(QHostAddress::LocalHost, 0);
}

QString HttpServer::url(const QString &path) const
{
    return QString("%1://127.0.0.1:%2/%3").arg(tlsCertificate.isNull() ? "http" : "https").arg(serverPort()).arg(path);
}

void HttpServer::setTls(const QSslCertificate &certificate, const QSslKey &key)
{
    tlsCertificate = certificate;
    tlsKey = key;
}

void HttpServer::incomingConnection(qintptr descriptor)
{
    if (tlsCertificate.isNull()) {
        QTcpServer::incomingConnection(descriptor);
        return;
    }
    QSslSocket *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setLocalCertificate(tlsCertificate);
    socket->setPrivateKey(tlsKey);
    addPendingConnection(socket);
    socket->startServerEncryption();
}

void HttpServer::addRoot(const QString &directory)
{
    roots << directory;
}

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { serve(socket); });
    }
}

void HttpServer::serve(QTcpSocket *socket)
{
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    if (request.size() > MAX_REQUEST) {
        socket->abort();
        return;
    }
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n"))
        return;
    const QList<QByteArray> line = request.left(request.indexOf("\r\n")).split(' ');
    const QUrl target(QString::fromLatin1(line.value(1)));
    QByteArray status = "200 OK", type = "text/plain", body;
    if (target.path() == "/report") {
        reports << target.query(QUrl::FullyDecoded);
        status = "204 No Content";
    } else {
        status = "404 Not Found";
        for (const QString &root : qAsConst(roots)) {
            QFile file(root + "/" + QFileInfo(target.path()).fileName());
            if (file.open(QIODevice::ReadOnly)) {
                body = file.readAll();
                type = contentType(file.fileName());
                status = "200 OK";
                break;
            }
        }
    }
    socket->write(
        "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nAccess-Control-Allow-Origin: *\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
}
