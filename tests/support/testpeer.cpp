#include "testpeer.h"

#include <QJsonDocument>
#include <QSslConfiguration>

static QJsonObject parsed(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// The metatype must exist before the spy on sslErrors is made.
static QWebSocket *registered(QWebSocket *socket)
{
    qRegisterMetaType<QList<QSslError>>();
    return socket;
}

TestPeer::TestPeer(const QSslCertificate &ca, const QNetworkProxy &proxy, const QString &origin)
    : socket(origin)
    , connected(&socket, &QWebSocket::connected)
    , texts(&socket, &QWebSocket::textMessageReceived)
    , binaries(&socket, &QWebSocket::binaryMessageReceived)
    , disconnected(&socket, &QWebSocket::disconnected)
    , sslErrors(registered(&socket), &QWebSocket::sslErrors)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({ca});
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket.setSslConfiguration(configuration);
    socket.setProxy(proxy);
}

QStringList TestPeer::received() const
{
    QStringList all;
    for (const QList<QVariant> &args : texts)
        all << args.at(0).toString();
    return all;
}

QString TestPeer::text(int i) const
{
    return texts.value(i).value(0).toString();
}

QString TestPeer::first(const QUrl &url, int timeoutMs)
{
    socket.open(url);
    if (texts.isEmpty())
        texts.wait(timeoutMs);
    return text(0);
}

int TestPeer::indexOf(const QString &method, int from) const
{
    for (int i = from; i < texts.size(); ++i) {
        if (parsed(text(i)).value("method").toString() == method)
            return i;
    }
    return -1;
}

QJsonObject TestPeer::params(int i) const
{
    return parsed(text(i)).value("params").toObject();
}
