#include "certificatemanagernss.h"

#include "logger.h"
#include "runprocess.h"
#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QStandardPaths>

namespace {

const QString SQL_PREFIX = "sql:";
// A profiles.ini is a few hundred bytes; anything beyond this is not one.
const qint64 MAX_PROFILES_SIZE = 1024 * 1024;

} // namespace

// Also certutil's working directory.
QString CertificateManagerNss::entryDir(const QString &databaseDir)
{
    const QString dir = databaseDir.startsWith(SQL_PREFIX) ? databaseDir.mid(SQL_PREFIX.size()) : databaseDir;
    return QDir::toNativeSeparators(dir);
}

CertificateManagerNss::CertificateManagerNss(QObject *parent)
    : QObject(parent)
{
}

// Listed is not enough: only a CA trusted for the SSL column ("C") makes
// browsers accept the server certificates it issued.
bool CertificateManagerNss::checkCertificate(QByteArray certificate)
{
    const QString nickname = createNickname(certificate);
    const QStringList databaseDirs = findDatabaseDirs();
    for (const QString &databaseDir : databaseDirs)
        if (!isTrusted(databaseDir, nickname))
            return false;
    return true;
}

bool CertificateManagerNss::addCertificate(QByteArray certificate)
{
    const QStringList databaseDirs = findDatabaseDirs();
    bool result = true;
    for (const QString &databaseDir : databaseDirs) {
        const QString nickname = createNickname(certificate);
        if (isTrusted(databaseDir, nickname))
            continue;
        // certutil may take the certificate and fail only on its trust (a
        // database with a password), which leaves an entry browsers ignore.
        if (runCertutil({"-A", "-t", "C", "-n", nickname}, databaseDir, certificate)
            && isTrusted(databaseDir, nickname))
            continue;
        qWarning()
            << QString("Nepodarilo sa pridat certifikat Nickname: %1, DB: %2").arg(nickname, entryDir(databaseDir));
        result = false;
        const QList<CaEntry> left = listCaCertificates(databaseDir);
        for (const CaEntry &entry : left) {
            if (entry.nickname != nickname || entry.trusted)
                continue;
            qWarning() << QString("Odstranujem neduveryhodny certifikat Nickname: %1, DB: %2")
                              .arg(nickname, entryDir(databaseDir));
            runCertutil({"-D", "-n", nickname}, databaseDir);
        }
    }
    return result;
}

bool CertificateManagerNss::removeCertificates(QByteArray skipCertificate)
{
    const QString keep = skipCertificate.isEmpty() ? QString() : createNickname(skipCertificate);
    const QStringList databaseDirs = findDatabaseDirs();
    bool result = true;
    for (const QString &databaseDir : databaseDirs) {
        const QList<CaEntry> entries = listCaCertificates(databaseDir);
        for (const CaEntry &entry : entries) {
            // The current CA without its trust goes too, so that it is added anew.
            if (entry.nickname == keep && entry.trusted)
                continue;
            if (!runCertutil({"-D", "-n", entry.nickname}, databaseDir)) {
                qWarning() << QString("Nepodarilo sa odstarnit certifikat Nickname: %1, DB: %2")
                                  .arg(entry.nickname, entryDir(databaseDir));
                result = false;
            }
        }
    }
    return result;
}

bool CertificateManagerNss::isTrusted(const QString &databaseDir, const QString &nickname)
{
    const QList<CaEntry> entries = listCaCertificates(databaseDir);
    for (const CaEntry &entry : entries)
        if (entry.nickname == nickname && entry.trusted)
            return true;
    return false;
}

QString CertificateManagerNss::getCertutilExe()
{
    return Utils::dirApp() + "/certutil/certutil";
}

QString CertificateManagerNss::getFirefoxProfileFile()
{
    const QDir home = QDir::home();
    if (!home.exists())
        return QString();
    const QString file = home.filePath(".mozilla/firefox/profiles.ini");
    return QFileInfo::exists(file) ? file : QString();
}

QStringList CertificateManagerNss::findDatabaseDirs()
{
    QStringList databaseDirs;
    const QList<Store> stores = findStores();
    for (const Store &store : stores)
        databaseDirs << store.databaseDir;
    return databaseDirs;
}

QList<CertificateManagerNss::Store> CertificateManagerNss::findStores()
{
    QList<Store> stores;
    const QList<Candidate> candidates = findCandidates();
    for (const Candidate &candidate : candidates) {
        const QDir dir(candidate.dir);
        if (dir.exists("cert8.db"))
            stores << Store{candidate.browser, candidate.dir};
        if (dir.exists("cert9.db"))
            stores << Store{candidate.browser, SQL_PREFIX + candidate.dir};
    }
    return stores;
}

QStringList CertificateManagerNss::profileFiles()
{
    const QDir home = QDir::home();
    return {
        home.filePath(".mozilla/firefox/profiles.ini"),
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/mozilla/firefox/profiles.ini",
        home.filePath("snap/firefox/common/.mozilla/firefox/profiles.ini"),
        home.filePath(".var/app/org.mozilla.firefox/.mozilla/firefox/profiles.ini"),
        home.filePath(".var/app/org.mozilla.firefox/config/mozilla/firefox/profiles.ini"),
    };
}

// Browsers keep their stores in more places than the shared database and the
// classic Firefox profiles: newer Chromium under the XDG data directory, newer
// Firefox under the XDG configuration directory, and snap and flatpak builds
// inside their own homes. The classic places come first.
QList<CertificateManagerNss::Candidate> CertificateManagerNss::findCandidates()
{
    const QDir home = QDir::home();
    const QStringList profileLists = profileFiles();
    QList<Candidate> candidates;
    const auto addIfDir = [&candidates](const QString &browser, const QString &dir) {
        if (QFileInfo(dir).isDir())
            candidates << Candidate{browser, dir};
    };
    const auto addProfiles = [this, &candidates](const QString &browser, const QString &profileFile) {
        if (!profileFile.isEmpty() && QFileInfo(profileFile).exists())
            for (const QString &dir : readFirefoxProfiles(profileFile))
                candidates << Candidate{browser, dir};
    };
    addIfDir(tr("Chromium a ďalšie programy NSS"), home.filePath(".pki/nssdb"));
    addProfiles(tr("Mozilla Firefox"), getFirefoxProfileFile());
    addIfDir(tr("Chromium"), QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/pki/nssdb");
    addProfiles(tr("Mozilla Firefox"), profileLists[1]);
    addProfiles(tr("Mozilla Firefox (snap)"), profileLists[2]);
    addProfiles(tr("Mozilla Firefox (flatpak)"), profileLists[3]);
    addProfiles(tr("Mozilla Firefox (flatpak)"), profileLists[4]);
    addIfDir(tr("Chromium (snap)"), home.filePath("snap/chromium/current/.pki/nssdb"));

    QList<Candidate> unique;
    QStringList seen;
    for (const Candidate &candidate : qAsConst(candidates)) {
        // Also reached through a symbolic link or a second profiles.ini.
        const QString canonical = QFileInfo(candidate.dir).canonicalFilePath();
        if (canonical.isEmpty() || seen.contains(canonical))
            continue;
        seen << canonical;
        unique << candidate;
    }
    return unique;
}

QStringList CertificateManagerNss::placesOfStores()
{
    const QDir home = QDir::home();
    QStringList places = profileFiles();
    places << home.filePath(".pki/nssdb")
           << QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/pki/nssdb"
           << home.filePath("snap/chromium/current/.pki/nssdb");
    for (const QString &profileFile : profileFiles())
        if (QFileInfo(profileFile).isFile())
            places << readFirefoxProfiles(profileFile);
    return places;
}

CertificateManagerNss::Trust CertificateManagerNss::trustIn(const QString &databaseDir, QByteArray certificate)
{
    const QString nickname = createNickname(certificate);
    bool listed = false;
    const QList<CaEntry> entries = listCaCertificates(databaseDir, &listed);
    if (!listed)
        return unresponsive.contains(databaseDir) ? TimedOut : Unreadable;
    Trust trust = Missing;
    for (const CaEntry &entry : entries)
        if (entry.nickname == nickname)
            trust = entry.trusted ? Trusted : NotTrusted;
    // Listing needs no password, but giving trust does: this one cannot be
    // repaired by the agent.
    if (trust != Trusted && hasPassword(databaseDir))
        return PasswordProtected;
    return trust;
}

// Logging in with an empty password fails only where a real one is set.
bool CertificateManagerNss::hasPassword(const QString &databaseDir)
{
    RunProcess process;
    process.setWorkingDirectory(entryDir(databaseDir));
    process.start(getCertutilExe(), {"-K", "-f", "/dev/null", "-d", databaseDir.startsWith(SQL_PREFIX) ? "sql:." : "."},
                  QByteArray(), true);
    return process.readAllStandardError().contains("SEC_ERROR_BAD_PASSWORD");
}

// The profile directories listed in one profiles.ini, in file order.
QStringList CertificateManagerNss::readFirefoxProfiles(QString profileFile)
{
    if (profileFile.isEmpty())
        return QStringList();
    QFile file(profileFile);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!quiet)
            Utils::showWarningMessage(tr("Nepodarilo sa otvoriť súbor s profilmi prehliadača Mozilla Firefox."));
        return QStringList();
    }
    return profilesFromIni(QString::fromUtf8(file.read(MAX_PROFILES_SIZE)), QFileInfo(profileFile).absolutePath());
}

QStringList CertificateManagerNss::profilesFromIni(const QString &text, const QString &baseDir)
{
    static const QRegularExpression header(QRegularExpression::anchoredPattern("\\[Profile\\d+\\]"));
    static const QRegularExpression relative(QRegularExpression::anchoredPattern("IsRelative\\s*=\\s*(\\d)"));
    static const QRegularExpression pathLine(QRegularExpression::anchoredPattern("Path\\s*=\\s*(\\S.*)"));

    QStringList profiles;
    QString isRelative;
    QString path;
    const QStringList lines = text.split('\n');
    for (const QString &rawLine : lines) {
        const QString line = rawLine.trimmed();
        const QRegularExpressionMatch relativeMatch = relative.match(line);
        const QRegularExpressionMatch pathMatch = pathLine.match(line);
        if (header.match(line).hasMatch()) {
            isRelative.clear();
            path.clear();
        } else if (relativeMatch.hasMatch()) {
            isRelative = relativeMatch.captured(1);
        } else if (pathMatch.hasMatch()) {
            path = pathMatch.captured(1);
        }
        if (!isRelative.isEmpty() && !path.isEmpty()) {
            profiles << (isRelative == "1" ? baseDir + "/" + path : path);
            path.clear();
        }
    }
    return profiles;
}

QString CertificateManagerNss::createNickname(QByteArray certificate)
{
    const QStringList names = QSslCertificate(certificate, QSsl::Pem).subjectInfo(QSslCertificate::CommonName);
    if (names.size() != 1)
        Logger::giveUp(tr("Nepodarilo sa prečítať položku CN z certifikátu."));
    return names.first();
}

QList<CertificateManagerNss::CaEntry> CertificateManagerNss::listCaCertificates(QString databaseDir, bool *listed)
{
    QByteArray output;
    const bool ran = runCertutil({"-L"}, databaseDir, QByteArray(), &output);
    if (listed)
        *listed = ran;
    if (!ran)
        return {};

    // Only our own CAs are ever listed, so nothing else can be removed. The
    // trust string ends the line: SSL, S/MIME and code signing, by commas.
    static const QRegularExpression agentCa("^(" + Utils::cnPrefixCerificateCa() + " \\d+)");
    QList<CaEntry> entries;
    const QStringList lines = QString::fromUtf8(output).split('\n');
    for (const QString &rawLine : lines) {
        const QString line = rawLine.trimmed();
        const QRegularExpressionMatch match = agentCa.match(line);
        if (!match.hasMatch())
            continue;
        const QStringList rest = line.mid(match.capturedEnd(1)).split(' ', Qt::SkipEmptyParts);
        const QStringList columns = rest.isEmpty() ? QStringList() : rest.last().split(',');
        entries << CaEntry{match.captured(1), columns.size() == 3 && columns.first().contains('C')};
    }
    return entries;
}

// The database is always named relative to the working directory.
bool CertificateManagerNss::runCertutil(QStringList args, QString databaseDir, QByteArray input, QByteArray *output)
{
    // One that hung (a FIFO for a file, a prompt) would only hang again.
    if (unresponsive.contains(databaseDir))
        return false;
    args << "-d" << (databaseDir.startsWith(SQL_PREFIX) ? "sql:." : ".");
    RunProcess process;
    process.setWorkingDirectory(entryDir(databaseDir));
    if (!process.start(getCertutilExe(), args, input, false)) {
        if (process.timedOut()) {
            qWarning() << "Databaza certifikatov neodpoveda, dalej ju vynechavam:" << entryDir(databaseDir);
            unresponsive << databaseDir;
        }
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}
