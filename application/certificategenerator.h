#ifndef CERTIFICATEGENERATOR_H
#define CERTIFICATEGENERATOR_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <openssl/evp.h>
#include <openssl/x509.h>

class QIODevice;
class QSslCertificate;
class QSslKey;

// The agent's own certificate authority and the server certificates of its
// loopback host names, kept as ca.crt and one PKCS#12 file per name.
class CertificateGenerator : public QObject
{
    Q_OBJECT

public:
    // A set with fewer days left is made anew, so that the renewal falls on a
    // start of the agent rather than on a day it runs.
    static const int RENEWAL_MARGIN_DAYS = 90;

    explicit CertificateGenerator(QObject *parent = nullptr);

    // Whether a complete set that serves today and for the margin above is on
    // disk; logs why not.
    bool check();
    bool remove();
    // Makes the CA and every server certificate; false when any step failed,
    // which leaves an incomplete set behind.
    bool generate();
    bool generateCaCertificate(X509 **ca_cert, EVP_PKEY **ca_pk);
    bool generateSslCertificate(X509 *ca_cert, EVP_PKEY *ca_pk, QString hostname, QHostAddress ip);

    static void ensureInitialized();
    static bool importPkcs12(QIODevice *device, QSslKey *key, QSslCertificate *cert,
                             QList<QSslCertificate> *caCertificates, const QByteArray &passPhrase);

private:
    static bool initialized;
};

#endif // CERTIFICATEGENERATOR_H
