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
    // Adds the CA wherever it is not trusted yet; true when it is trusted in
    // every database afterwards.
    bool addCertificate(QByteArray certificate);
    bool removeCertificates(QByteArray skipCertificate);

    // One database the agent works on, and whose it is.
    struct Store
    {
        // The browser or program that uses it, for the user.
        QString browser;
        // The directory, prefixed with "sql:" for an SQLite database.
        QString databaseDir;
    };
    // What a database says of the CA: the first three are answers, the rest
    // why none came.
    enum Trust { Trusted, Missing, NotTrusted, Unreadable, TimedOut, PasswordProtected };
    QList<Store> findStores();
    Trust trustIn(const QString &databaseDir, QByteArray certificate);
    // Where stores come into being: every profile list, and every directory
    // that holds a store or will once its browser has made one.
    QStringList placesOfStores();
    // The directory of a database entry, in native separators.
    static QString entryDir(const QString &databaseDir);
    // No message box for a profile list that cannot be read: for work that
    // runs again and again, or has a view of its own.
    void setQuiet(bool on) { quiet = on; }

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
    // Empty also when certutil failed, which listed tells apart.
    QList<CaEntry> listCaCertificates(QString databaseDir, bool *listed = nullptr);
    bool isTrusted(const QString &databaseDir, const QString &nickname);

    struct Candidate
    {
        QString browser;
        QString dir;
    };
    // Every directory that may hold a store, in order and once each.
    QList<Candidate> findCandidates();
    QStringList profileFiles();
    bool hasPassword(const QString &databaseDir);
    QStringList readFirefoxProfiles(QString profileFile);
    bool runCertutil(QStringList args, QString databaseDir, QByteArray input = QByteArray(),
                     QByteArray *output = nullptr);

    // Databases whose certutil ran out of time; not tried again by this object.
    QStringList unresponsive;
    bool quiet = false;
};

#endif // CERTIFICATEMANAGERNSS_H
