#ifndef CERTIFICATEMANAGEROS_H
#define CERTIFICATEMANAGEROS_H

#include <QByteArray>
#include <QObject>

// The agent's CA in the operating system's own certificate store. Each
// platform has its own variant.
class CertificateManagerOs : public QObject
{
    Q_OBJECT

public:
    explicit CertificateManagerOs(QObject *parent = nullptr);

    bool checkCertificate(QByteArray certificate);
    bool addCertificate(QByteArray certificate);
    bool removeCertificates(QByteArray skipCertificate);
};

#endif // CERTIFICATEMANAGEROS_H
