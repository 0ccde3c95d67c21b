#include "certificategenerator.h"

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

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, decltype(&PKCS12_free)>;
using BignumPtr = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

// Fixed in absolute terms so that the certificates never depend on the clock.
const time_t NOT_BEFORE = 0;
const time_t NOT_AFTER = 2147483647;
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
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value), &X509_EXTENSION_free);
    if (!extension)
        return false;
    return X509_add_ext(cert, extension.get(), -1) == 1;
}

// A fresh RSA key put into an existing key object, as the callers hand the
// object out before the key exists.
bool generateRsaKey(EVP_PKEY **pkey)
{
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), &EVP_PKEY_CTX_free);
    BignumPtr exponent(BN_new(), &BN_free);
    if (!ctx || !exponent || !BN_set_word(exponent.get(), RSA_F4))
        return false;
    if (EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), KEY_BITS) <= 0
        || EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) <= 0)
        return false;
    return EVP_PKEY_keygen(ctx.get(), pkey) > 0;
}

bool setCommonFields(X509 *cert, long serial, EVP_PKEY *pkey)
{
    return X509_set_version(cert, X509_VERSION_3) && ASN1_INTEGER_set(X509_get_serialNumber(cert), serial)
        && ASN1_TIME_set(X509_getm_notBefore(cert), NOT_BEFORE) && ASN1_TIME_set(X509_getm_notAfter(cert), NOT_AFTER)
        && X509_set_pubkey(cert, pkey);
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

// Whether the file holds a usable server certificate with its key.
bool loadsPkcs12(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QSslKey key;
    QSslCertificate cert;
    return CertificateGenerator::importPkcs12(&file, &key, &cert, nullptr, Utils::passwordCertificateSsl().toUtf8());
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
// or written with another password makes the whole set anew.
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
    }
    const QMap<QString, QHostAddress> hosts = Utils::hostnames();
    for (auto it = hosts.cbegin(); it != hosts.cend(); ++it) {
        for (const QString &name : {it.key(), it.value().toString()}) {
            const QString path = Utils::fileCertificateSsl(name);
            if (!QFileInfo::exists(path)) {
                complete = false;
            } else if (complete && !loadsPkcs12(path)) {
                qWarning() << "Nepodarilo sa nacitat certifikat" << path;
                complete = false;
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
        qCritical().noquote() << tr("Nepodarilo sa zapisať infromácie na disk.");
        return false;
    }

    X509 *caCert = nullptr;
    EVP_PKEY *caKey = nullptr;
    generateCaCertificate(&caCert, &caKey);
    X509Ptr caCertOwner(caCert, &X509_free);
    PkeyPtr caKeyOwner(caKey, &EVP_PKEY_free);

    const QMap<QString, QHostAddress> hosts = Utils::hostnames();
    for (auto it = hosts.cbegin(); it != hosts.cend(); ++it) {
        generateSslCertificate(caCert, caKey, it.key(), it.value());
        generateSslCertificate(caCert, caKey, QString(), it.value());
    }
    return true;
}

bool CertificateGenerator::generateCaCertificate(X509 **ca_cert, EVP_PKEY **ca_pk)
{
    ensureInitialized();
    *ca_pk = EVP_PKEY_new();
    *ca_cert = X509_new();
    X509 *cert = *ca_cert;
    if (!cert || !*ca_pk || !generateRsaKey(ca_pk))
        return false;
    EVP_PKEY *pkey = *ca_pk;

    const QString cn = Utils::cnPrefixCerificateCa() + QDateTime::currentDateTime().toString(" yyyyMMddhhmmss");
    if (!setCommonFields(cert, 0, pkey) || !setCommonName(cert, cn)
        || !X509_set_issuer_name(cert, X509_get_subject_name(cert)))
        return false;

    QByteArray basicConstraints("CA:TRUE");
    QByteArray keyUsage("keyCertSign");
    addExtension(cert, cert, NID_basic_constraints, basicConstraints.data());
    addExtension(cert, cert, NID_key_usage, keyUsage.data());

    if (!X509_sign(cert, pkey, EVP_sha256()))
        return false;

    const QString path = Utils::fileCertificateCa();
    BioPtr out(BIO_new(BIO_s_mem()), &BIO_free);
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

    PkeyPtr key(EVP_PKEY_new(), &EVP_PKEY_free);
    X509Ptr cert(X509_new(), &X509_free);
    EVP_PKEY *generated = key.release();
    const bool haveKey = generated && generateRsaKey(&generated);
    key.reset(generated);
    if (!cert || !haveKey)
        return false;

    if (!setCommonFields(cert.get(), 1, key.get()) || !setCommonName(cert.get(), cn)
        || !X509_set_issuer_name(cert.get(), X509_get_issuer_name(ca_cert)))
        return false;

    const QString san = hostname.isEmpty() ? "IP:" + ip.toString() : "DNS:" + hostname + ", IP:" + ip.toString();
    QByteArray sanValue = san.toUtf8();
    addExtension(cert.get(), ca_cert, NID_subject_alt_name, sanValue.data());

    if (!X509_sign(cert.get(), ca_pk, EVP_sha256()))
        return false;

    cn.replace(':', '-');
    const QByteArray password = Utils::passwordCertificateSsl().toUtf8();
    const QByteArray friendlyName = cn.toUtf8();
    Pkcs12Ptr p12(PKCS12_create(password.constData(), friendlyName.constData(), key.get(), cert.get(), nullptr, 0, 0,
                                0, 0, 0),
                  &PKCS12_free);
    if (!p12) {
        qWarning() << "Nepodarilo sa vytvorit p12 kontainer: " << qUtf8Printable(libraryError());
        return false;
    }

    const QString path = Utils::fileCertificateSsl(cn);
    BioPtr out(BIO_new(BIO_s_mem()), &BIO_free);
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

    const QByteArray data = device->readAll();
    if (data.isEmpty()) {
        qWarning() << "Nepodarilo sa nacitat PKCS#12 subor.";
        return false;
    }

    BioPtr in(BIO_new_mem_buf(data.constData(), data.size()), &BIO_free);
    Pkcs12Ptr p12(in ? d2i_PKCS12_bio(in.get(), nullptr) : nullptr, &PKCS12_free);
    if (!p12) {
        qWarning() << "Nepodarilo nacitat PKCS#12 subor: " << qUtf8Printable(libraryError());
        return false;
    }

    EVP_PKEY *parsedKey = nullptr;
    X509 *parsedCert = nullptr;
    const bool parsed = PKCS12_parse(p12.get(), passPhrase.constData(), &parsedKey, &parsedCert, nullptr);
    PkeyPtr pkey(parsedKey, &EVP_PKEY_free);
    X509Ptr x509(parsedCert, &X509_free);
    if (!parsed) {
        qWarning() << "Nepodarilo spracovat PKCS#12 subor: " << qUtf8Printable(libraryError());
        return false;
    }

    const int keyLength = pkey ? i2d_PrivateKey(pkey.get(), nullptr) : -1;
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
    if (i2d_PrivateKey(pkey.get(), &keyOut) != keyLength) {
        qWarning() << "Nepodarilo sa nacitat privatny kluc z PKCS#12";
        return false;
    }

    QSsl::KeyAlgorithm algorithm;
    switch (EVP_PKEY_get_base_id(pkey.get())) {
    case EVP_PKEY_RSA:
        algorithm = QSsl::Rsa;
        break;
    case EVP_PKEY_DSA:
        algorithm = QSsl::Dsa;
        break;
    case EVP_PKEY_EC:
        algorithm = QSsl::Ec;
        break;
    default:
        qWarning() << "Nepodporovany algoritmus privatneho kluca z PKCS#12";
        return false;
    }

    *key = QSslKey(keyDer, algorithm, QSsl::Der, QSsl::PrivateKey, QByteArray());
    if (key->isNull()) {
        qWarning() << "Nepodarilo sa zkonvertovat privatny kluc z PKCS#12";
        return false;
    }

    // A container without a certificate encodes to nothing and so fails below.
    const int certLength = i2d_X509(x509.get(), nullptr);
    if (certLength < 0) {
        qWarning() << "Nepodarilo sa nacitat certifikat z PKCS#12";
        return false;
    }
    QByteArray certDer(certLength, Qt::Uninitialized);
    if (certLength > 0) {
        unsigned char *certOut = reinterpret_cast<unsigned char *>(certDer.data());
        i2d_X509(x509.get(), &certOut);
    }
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(certDer, QSsl::Der);
    if (certificates.isEmpty()) {
        qWarning() << "Nepodarilo sa zkonvertovat certifikat z PKCS#12";
        return false;
    }
    *cert = certificates.first();
    return true;
}
