#include "trustinstaller.h"

#include "certificatedialog.h"
#include "certificatemanagernss.h"
#include "certificatemanageros.h"
#include "utils.h"

#include <QSslCertificate>

int TrustInstaller::depth = 0;

bool TrustInstaller::offer(const QByteArray &ca, CertificateManagerNss &nss)
{
    const Busy busy;
    CertificateDialog notice(nullptr);
    if (notice.exec() != QDialog::Accepted)
        return false;
    CertificateManagerOs os(nullptr);
    nss.removeCertificates(ca);
    const bool ok1 = nss.addCertificate(ca);
    os.removeCertificates(ca);
    const bool ok2 = os.addCertificate(ca);
    if (ok1 && ok2)
        Utils::showInfoMessage(tr("Pridanie certifikátu skončilo úspešne."),
                               tr("Prosím reštartujte všetky spustené webové prehliadače."));
    else
        Utils::showErrorMessage(tr("Pri pridávaní certifikátu nastala jedna alebo viac chýb."),
                                tr("Komunikácia s niektorými prehliadačmi nemusí fungovať."));
    return true;
}

QByteArray TrustInstaller::currentCa()
{
    const QByteArray ca = Utils::readFile(Utils::fileCertificateCa());
    const QSslCertificate cert(ca, QSsl::Pem);
    return !cert.isNull() && cert.subjectInfo(QSslCertificate::CommonName).size() == 1 ? ca : QByteArray();
}
