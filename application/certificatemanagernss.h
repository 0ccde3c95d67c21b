#ifndef CERTIFICATEMANAGERNSS_H
#define CERTIFICATEMANAGERNSS_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// The agent's CA in the user's NSS databases: the shared one and those of the
// Firefox profiles. Every database is worked on through NSS's certutil.
class CertificateManagerNss : public QObject
{
    Q_OBJECT

public:
    explicit CertificateManagerNss(QObject *parent = nullptr);

    bool checkCertificate(QByteArray certificate);
    bool addCertificate(QByteArray certificate);
    bool removeCertificates(QByteArray skipCertificate);

    // The profile directories that a profiles.ini text lists, in its order.
    static QStringList profilesFromIni(const QString &text, const QString &baseDir);

private:
    QString getCertutilExe();
    QString getFirefoxProfileFile();
    QStringList findDatabaseDirs();
    QString createNickname(QByteArray certificate);
    struct CaEntry
    {
        QString nickname;
        // The SSL column holds C: it may issue server certificates.
        bool trusted;
    };
    QList<CaEntry> listCaCertificates(QString databaseDir);
    bool isTrusted(const QString &databaseDir, const QString &nickname);

    QStringList readFirefoxProfiles(QString profileFile);
    bool runCertutil(QStringList args, QString databaseDir, QByteArray input = QByteArray(),
                     QByteArray *output = nullptr);

    // Databases whose certutil ran out of time; not tried again by this object.
    QStringList unresponsive;
};

#endif // CERTIFICATEMANAGERNSS_H
