#include "sslwebsocketserver.h"

#include "certificategenerator.h"
#include "utils.h"

#include <QDebug>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

// Without its certificate a listener is useless, so every failure here ends
// the program through the critical log path.
SslWebSocketServer::SslWebSocketServer(QString hostname, QObject *parent)
    : QWebSocketServer(hostname, QWebSocketServer::SecureMode, parent)
{
    QFile file(Utils::fileCertificateSsl(hostname));
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical().noquote() << tr("Nepodarilo sa otvoriť súbor s SSL certifikátom. Dôvod: %1").arg(file.errorString());
        return;
    }

    QSslCertificate certificate;
    QSslKey key;
    if (!CertificateGenerator::importPkcs12(&file, &key, &certificate, nullptr,
                                            Utils::passwordCertificateSsl().toUtf8())) {
        qCritical().noquote() << tr("Nepodarilo sa načítať SSL certifikát.");
        return;
    }
    file.close();

    if (certificate.subjectInfo(QSslCertificate::CommonName).size() != 1) {
        qWarning() << "Nepodarilo sa vycitat CN z SSL certifikatu";
        qCritical().noquote() << tr("Nepodarilo sa načítať SSL certifikát.");
        return;
    }

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    // Negotiates TLS 1.3 or 1.2 here: the system's OpenSSL refuses older ones.
    configuration.setProtocol(QSsl::TlsV1SslV3);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(key);
    setSslConfiguration(configuration);
}
