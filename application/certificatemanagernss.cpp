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

// The directory of a database entry, as certutil's working directory.
QString entryDir(const QString &databaseDir)
{
    const QString dir = databaseDir.startsWith(SQL_PREFIX) ? databaseDir.mid(SQL_PREFIX.size()) : databaseDir;
    return QDir::toNativeSeparators(dir);
}

} // namespace

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

// Browsers keep their stores in more places than the shared database and the
// classic Firefox profiles: newer Chromium under the XDG data directory, newer
// Firefox under the XDG configuration directory, and snap and flatpak builds
// inside their own homes. The classic places come first.
QStringList CertificateManagerNss::findDatabaseDirs()
{
    const QDir home = QDir::home();
    QStringList candidates;
    const auto addIfDir = [&candidates](const QString &dir) {
        if (QFileInfo(dir).isDir())
            candidates << dir;
    };
    addIfDir(home.filePath(".pki/nssdb"));
    candidates << readFirefoxProfiles(getFirefoxProfileFile());
    addIfDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/pki/nssdb");
    const QStringList furtherProfileFiles = {
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/mozilla/firefox/profiles.ini",
        home.filePath("snap/firefox/common/.mozilla/firefox/profiles.ini"),
        home.filePath(".var/app/org.mozilla.firefox/.mozilla/firefox/profiles.ini"),
        home.filePath(".var/app/org.mozilla.firefox/config/mozilla/firefox/profiles.ini"),
    };
    for (const QString &profileFile : furtherProfileFiles)
        if (QFileInfo(profileFile).exists())
            candidates << readFirefoxProfiles(profileFile);
    addIfDir(home.filePath("snap/chromium/current/.pki/nssdb"));

    QStringList databaseDirs;
    QStringList seen;
    for (const QString &candidate : qAsConst(candidates)) {
        // Also reached through a symbolic link or a second profiles.ini.
        const QString canonical = QFileInfo(candidate).canonicalFilePath();
        if (canonical.isEmpty() || seen.contains(canonical))
            continue;
        seen << canonical;
        const QDir dir(candidate);
        if (dir.exists("cert8.db"))
            databaseDirs << candidate;
        if (dir.exists("cert9.db"))
            databaseDirs << SQL_PREFIX + candidate;
    }
    return databaseDirs;
}

// The profile directories listed in one profiles.ini, in file order.
QStringList CertificateManagerNss::readFirefoxProfiles(QString profileFile)
{
    if (profileFile.isEmpty())
        return QStringList();
    QFile file(profileFile);
    if (!file.open(QIODevice::ReadOnly)) {
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

QList<CertificateManagerNss::CaEntry> CertificateManagerNss::listCaCertificates(QString databaseDir)
{
    QByteArray output;
    if (!runCertutil({"-L"}, databaseDir, QByteArray(), &output))
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
