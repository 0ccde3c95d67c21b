#include "certificatemanageros.h"

// Linux has no system store that the browsers share; the NSS databases are
// the only ones that matter, so there is nothing to do here.

CertificateManagerOs::CertificateManagerOs(QObject *parent)
    : QObject(parent)
{
}

bool CertificateManagerOs::checkCertificate(QByteArray certificate)
{
    Q_UNUSED(certificate);
    return true;
}

bool CertificateManagerOs::addCertificate(QByteArray certificate)
{
    Q_UNUSED(certificate);
    return true;
}

bool CertificateManagerOs::removeCertificates(QByteArray skipCertificate)
{
    Q_UNUSED(skipCertificate);
    return true;
}
