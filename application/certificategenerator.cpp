#include "certificategenerator.h"

#include "logger.h"
#include "utils.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSslCertificate>
#include <QSslKey>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <sys/types.h>

namespace {

// Frees an OpenSSL handle with the library's own function.
template <auto Free>
struct FreeWith
{
    template <typename T>
    void operator()(T *handle) const
    {
        Free(handle);
    }
};

using BioPtr = std::unique_ptr<BIO, FreeWith<BIO_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, FreeWith<X509_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, FreeWith<X509_EXTENSION_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, FreeWith<PKCS12_free>>;

// A set counts from when it is made, a day early for a browser whose clock
// is behind ours, and lasts long enough that nobody meets its renewal.
const qint64 CLOCK_SLACK_SECS = 24 * 3600;
const int LIFETIME_YEARS = 50;
const int KEY_BITS = 2048;

// The first queued library error; the rest of the queue is dropped so that
// stale errors never show up in a later message.
QString libraryError()
{
    char text[256] = {0};
    ERR_error_string_n(ERR_get_error(), text, sizeof(text));
    ERR_clear_error();
    return QString::fromUtf8(text);
}

bool addExtension(X509 *cert, X509 *issuer, int nid, char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!extension)
        return false;
    return X509_add_ext(cert, extension.get(), -1) == 1;
}

// A fresh RSA key with the public exponent 65537; null on failure.
PkeyPtr generateRsaKey()
{
    return PkeyPtr(EVP_RSA_gen(KEY_BITS));
}

bool setCommonFields(X509 *cert, long serial, EVP_PKEY *pkey)
{
    return X509_set_version(cert, X509_VERSION_3) && ASN1_INTEGER_set(X509_get_serialNumber(cert), serial)
        && X509_set_pubkey(cert, pkey);
}

// The library writes UTCTime up to 2049 and GeneralizedTime from 2050 on, as
// clients expect.
bool setValidityFromNow(X509 *cert)
{
    const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-CLOCK_SLACK_SECS);
    const QDateTime end = start.addYears(LIFETIME_YEARS);
    return ASN1_TIME_set(X509_getm_notBefore(cert), time_t(start.toSecsSinceEpoch()))
        && ASN1_TIME_set(X509_getm_notAfter(cert), time_t(end.toSecsSinceEpoch()));
}

// Whether a certificate serves now and beyond the renewal margin; logs why not.
bool usable(const QSslCertificate &cert, const QString &path)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime end = cert.expiryDate();
    QString problem;
    if (cert.effectiveDate() > now)
        problem = "Certifikat este nie je platny, vytvaram novu sadu:";
    else if (end <= now)
        problem = "Platnost certifikatu skoncila, vytvaram novu sadu:";
    else if (end <= now.addDays(CertificateGenerator::RENEWAL_MARGIN_DAYS))
        problem = QString("Platnost certifikatu sa skonci o menej ako %1 dni, vytvaram novu sadu:")
                      .arg(CertificateGenerator::RENEWAL_MARGIN_DAYS);
    if (!problem.isEmpty())
        qWarning() << qUtf8Printable(problem) << path << qUtf8Printable(cert.effectiveDate().toString(Qt::ISODate))
                   << "-" << qUtf8Printable(end.toString(Qt::ISODate));
    return problem.isEmpty();
}

bool setCommonName(X509 *cert, const QString &cn)
{
    const QByteArray utf8 = cn.toUtf8();
    X509_NAME *name = X509_get_subject_name(cert);
    return X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char *>(utf8.constData()), utf8.size(), -1, 0);
}

// The bytes a memory BIO collected.
QByteArray bioBytes(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? QByteArray(data, int(size)) : QByteArray();
}

// Private keys live in these files: owner only, and whole or not at all, so
// that a full disk leaves a missing file, which the next check notices.
bool writeCertificateFile(const QString &path, const QByteArray &data)
{
    const Utils::WriteResult result = Utils::writePrivateFile(path, data);
    if (result == Utils::Written)
        return true;
    const QString error = QString::fromLocal8Bit(strerror(errno));
    if (result == Utils::OpenFailed)
        qWarning() << "Nepodarilo sa otvorit subor" << path << qUtf8Printable(error);
    else
        qWarning() << "Nepodarilo sa zapisat subor" << path << qUtf8Printable(error);
    return false;
}

// The server certificate with its key in the file, or a null certificate.
QSslCertificate loadPkcs12(const QString &path)
{
    QFile file(path);
    QSslKey key;
    QSslCertificate cert;
    if (!file.open(QIODevice::ReadOnly)
        || !CertificateGenerator::importPkcs12(&file, &key, &cert, nullptr, Utils::passwordCertificateSsl().toUtf8()))
        return QSslCertificate();
    return cert;
}

// The key and certificate of a PKCS#12 container.
bool parsePkcs12(const QByteArray &data, const QByteArray &passPhrase, PkeyPtr *key, X509Ptr *cert)
{
    if (data.isEmpty()) {
        qWarning() << "Nepodarilo sa nacitat PKCS#12 subor.";
        return false;
    }
    const BioPtr in(BIO_new_mem_buf(data.constData(), data.size()));
    const Pkcs12Ptr p12(in ? d2i_PKCS12_bio(in.get(), nullptr) : nullptr);
    if (!p12) {
        qWarning() << "Nepodarilo nacitat PKCS#12 subor: " << qUtf8Printable(libraryError());
        return false;
    }
    EVP_PKEY *parsedKey = nullptr;
    X509 *parsedCert = nullptr;
    const bool parsed = PKCS12_parse(p12.get(), passPhrase.constData(), &parsedKey, &parsedCert, nullptr);
    key->reset(parsedKey);
    cert->reset(parsedCert);
    if (!parsed)
        qWarning() << "Nepodarilo spracovat PKCS#12 subor: " << qUtf8Printable(libraryError());
    return parsed;
}

bool keyAlgorithm(const EVP_PKEY *pkey, QSsl::KeyAlgorithm *algorithm)
{
    switch (EVP_PKEY_get_base_id(pkey)) {
    case EVP_PKEY_RSA:
        *algorithm = QSsl::Rsa;
        return true;
    case EVP_PKEY_DSA:
        *algorithm = QSsl::Dsa;
        return true;
    case EVP_PKEY_EC:
        *algorithm = QSsl::Ec;
        return true;
    default:
        qWarning() << "Nepodporovany algoritmus privatneho kluca z PKCS#12";
        return false;
    }
}

bool toQSslKey(EVP_PKEY *pkey, QSslKey *key)
{
    const int keyLength = pkey ? i2d_PrivateKey(pkey, nullptr) : -1;
    if (keyLength < 0) {
        qWarning() << "Nepodarilo sa nacitat privatny kluc z PKCS#12";
        return false;
    }
    QByteArray keyDer(keyLength, Qt::Uninitialized);
    // The plain private key: wiped on every way out, once QSslKey has its own copy.
    const std::unique_ptr<QByteArray, void (*)(QByteArray *)> wipe(&keyDer, [](QByteArray *der) {
        OPENSSL_cleanse(der->data(), size_t(der->size()));
    });
    unsigned char *keyOut = reinterpret_cast<unsigned char *>(keyDer.data());
    if (i2d_PrivateKey(pkey, &keyOut) != keyLength) {
        qWarning() << "Nepodarilo sa nacitat privatny kluc z PKCS#12";
        return false;
    }
    QSsl::KeyAlgorithm algorithm;
    if (!keyAlgorithm(pkey, &algorithm))
        return false;
    *key = QSslKey(keyDer, algorithm, QSsl::Der, QSsl::PrivateKey, QByteArray());
    if (key->isNull()) {
        qWarning() << "Nepodarilo sa zkonvertovat privatny kluc z PKCS#12";
        return false;
    }
    return true;
}

bool toQSslCertificate(X509 *x509, QSslCertificate *cert)
{
    // A container without a certificate encodes to nothing and so fails below.
    const int certLength = i2d_X509(x509, nullptr);
    if (certLength < 0) {
        qWarning() << "Nepodarilo sa nacitat certifikat z PKCS#12";
        return false;
    }
    QByteArray certDer(certLength, Qt::Uninitialized);
    if (certLength > 0) {
        unsigned char *certOut = reinterpret_cast<unsigned char *>(certDer.data());
        i2d_X509(x509, &certOut);
    }
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(certDer, QSsl::Der);
    if (certificates.isEmpty()) {
        qWarning() << "Nepodarilo sa zkonvertovat certifikat z PKCS#12";
        return false;
    }
    *cert = certificates.first();
    return true;
}

} // namespace

bool CertificateGenerator::initialized = false;

CertificateGenerator::CertificateGenerator(QObject *parent)
    : QObject(parent)
{
}

void CertificateGenerator::ensureInitialized()
{
    if (initialized)
        return;
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS
                            | OPENSSL_INIT_NO_LOAD_CONFIG,
                        nullptr);
    initialized = true;
}

// Each file must load, not merely exist: a file cut short by a full disk
// or written with another password makes the whole set anew, as does one
// that has expired, expires soon or is not valid yet (a clock set back).
bool CertificateGenerator::check()
{
    const QString caPath = Utils::fileCertificateCa();
    if (!QFileInfo::exists(caPath))
        return false;
    bool complete = true;
    QFile caFile(caPath);
    const QList<QSslCertificate> ca = caFile.open(QIODevice::ReadOnly)
        ? QSslCertificate::fromData(caFile.readAll(), QSsl::Pem)
        : QList<QSslCertificate>();
    if (ca.isEmpty() || ca.first().isNull()) {
        qWarning() << "Nepodarilo sa nacitat certifikat" << caPath;
        complete = false;
    } else {
        complete = usable(ca.first(), caPath);
    }
    const QMap<QString, QHostAddress> hosts = Utils::hostnames();
    for (auto it = hosts.cbegin(); it != hosts.cend(); ++it) {
        for (const QString &name : {it.key(), it.value().toString()}) {
            const QString path = Utils::fileCertificateSsl(name);
            if (!QFileInfo::exists(path)) {
                complete = false;
            } else if (complete) {
                const QSslCertificate cert = loadPkcs12(path);
                if (cert.isNull())
                    qWarning() << "Nepodarilo sa nacitat certifikat" << path;
                complete = !cert.isNull() && usable(cert, path);
            }
        }
    }
    return complete;
}

bool CertificateGenerator::remove()
{
    QDir dir(Utils::dirCertificates());
    if (!dir.exists())
        return true;
    const QFileInfoList files = dir.entryInfoList(QDir::Files);
    for (const QFileInfo &file : files) {
        const QString path = file.absoluteFilePath();
        if (path.endsWith(".p12") || path.endsWith(".crt"))
            Utils::removeFile(path);
    }
    return true;
}

bool CertificateGenerator::generate()
{
    ensureInitialized();
    const QString dir = Utils::dirCertificates();
    const bool created = Utils::createDirConfig()
        && (::mkdir(QFile::encodeName(dir).constData(), 0700) == 0 || QFileInfo(dir).isDir());
    if (!created) {
        qWarning() << "Nepodarilo sa vytvorit adresar pre certifiakty";
        Logger::giveUp(tr("Nepodarilo sa zapisať infromácie na disk."));
    }

    // Every step is tried, so that the log names each failure, but a set
    // with any piece missing is no set.
    X509 *caCert = nullptr;
    EVP_PKEY *caKey = nullptr;
    bool complete = generateCaCertificate(&caCert, &caKey);
    const X509Ptr caCertOwner(caCert);
    const PkeyPtr caKeyOwner(caKey);

    const QMap<QString, QHostAddress> hosts = Utils::hostnames();
    for (auto it = hosts.cbegin(); it != hosts.cend(); ++it) {
        complete = generateSslCertificate(caCert, caKey, it.key(), it.value()) && complete;
        complete = generateSslCertificate(caCert, caKey, QString(), it.value()) && complete;
    }
    return complete;
}

bool CertificateGenerator::generateCaCertificate(X509 **ca_cert, EVP_PKEY **ca_pk)
{
    ensureInitialized();
    // The caller owns both from here on, whatever becomes of the rest.
    *ca_pk = generateRsaKey().release();
    *ca_cert = X509_new();
    X509 *cert = *ca_cert;
    EVP_PKEY *pkey = *ca_pk;
    if (!cert || !pkey)
        return false;

    const QString cn = Utils::cnPrefixCerificateCa() + QDateTime::currentDateTime().toString(" yyyyMMddhhmmss");
    if (!setCommonFields(cert, 0, pkey) || !setValidityFromNow(cert) || !setCommonName(cert, cn)
        || !X509_set_issuer_name(cert, X509_get_subject_name(cert)))
        return false;

    QByteArray basicConstraints("CA:TRUE");
    QByteArray keyUsage("keyCertSign");
    if (!addExtension(cert, cert, NID_basic_constraints, basicConstraints.data())
        || !addExtension(cert, cert, NID_key_usage, keyUsage.data()) || !X509_sign(cert, pkey, EVP_sha256()))
        return false;

    const QString path = Utils::fileCertificateCa();
    const BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || !PEM_write_bio_X509(out.get(), cert)) {
        qWarning() << "Nepodarilo sa zapisat subor" << path << qUtf8Printable(libraryError());
        return false;
    }
    return writeCertificateFile(path, bioBytes(out.get()));
}

bool CertificateGenerator::generateSslCertificate(X509 *ca_cert, EVP_PKEY *ca_pk, QString hostname, QHostAddress ip)
{
    ensureInitialized();
    if (!ca_cert || !ca_pk)
        return false;
    QString cn = hostname.isEmpty() ? ip.toString() : hostname;

    const PkeyPtr key = generateRsaKey();
    const X509Ptr cert(X509_new());
    if (!cert || !key)
        return false;

    // Exactly the CA's validity, so that no server certificate outlasts it.
    if (!setCommonFields(cert.get(), 1, key.get()) || !X509_set1_notBefore(cert.get(), X509_get0_notBefore(ca_cert))
        || !X509_set1_notAfter(cert.get(), X509_get0_notAfter(ca_cert)) || !setCommonName(cert.get(), cn)
        || !X509_set_issuer_name(cert.get(), X509_get_issuer_name(ca_cert)))
        return false;

    const QString san = hostname.isEmpty() ? "IP:" + ip.toString() : "DNS:" + hostname + ", IP:" + ip.toString();
    QByteArray sanValue = san.toUtf8();
    if (!addExtension(cert.get(), ca_cert, NID_subject_alt_name, sanValue.data())
        || !X509_sign(cert.get(), ca_pk, EVP_sha256()))
        return false;

    cn.replace(':', '-');
    const QByteArray password = Utils::passwordCertificateSsl().toUtf8();
    const QByteArray friendlyName = cn.toUtf8();
    const Pkcs12Ptr p12(
        PKCS12_create(password.constData(), friendlyName.constData(), key.get(), cert.get(), nullptr, 0, 0, 0, 0, 0));
    if (!p12) {
        qWarning() << "Nepodarilo sa vytvorit p12 kontainer: " << qUtf8Printable(libraryError());
        return false;
    }

    const QString path = Utils::fileCertificateSsl(cn);
    const BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || !i2d_PKCS12_bio(out.get(), p12.get())) {
        qWarning() << "Nepodarilo sa zapisat subor" << path << qUtf8Printable(libraryError());
        return false;
    }
    return writeCertificateFile(path, bioBytes(out.get()));
}

bool CertificateGenerator::importPkcs12(QIODevice *device, QSslKey *key, QSslCertificate *cert,
                                        QList<QSslCertificate> *caCertificates, const QByteArray &passPhrase)
{
    Q_UNUSED(caCertificates)
    ensureInitialized();
    PkeyPtr parsedKey;
    X509Ptr parsedCert;
    return parsePkcs12(device->readAll(), passPhrase, &parsedKey, &parsedCert) && toQSslKey(parsedKey.get(), key)
        && toQSslCertificate(parsedCert.get(), cert);
}
