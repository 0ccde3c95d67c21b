#include "utils.h"

#include "logger.h"
#include "qmessageboxresize.h"
#include "server.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QTextEdit>
#include <QUrl>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

QString Utils::dirApp()
{
    return QCoreApplication::applicationDirPath();
}

QString Utils::fileApp()
{
    return QCoreApplication::applicationFilePath();
}

QString Utils::dirConfig()
{
    return QDir::homePath() + "/.obrenta/kavrel";
}

// The configuration directory holds the access token and private keys, so
// whatever we create on the way to it is for the owner's eyes only, and our
// own directory is narrowed even when an older version left it wider.
bool Utils::createDirConfig()
{
    const QString home = QDir::homePath();
    for (const QString &dir : {home + "/.obrenta", dirConfig()}) {
        if (QFileInfo(dir).isDir())
            continue;
        if (::mkdir(QFile::encodeName(dir).constData(), 0700) != 0 && !QFileInfo(dir).isDir())
            return false;
    }
    const QByteArray own = QFile::encodeName(dirConfig());
    struct stat st;
    if (::lstat(own.constData(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 07777) != 0700)
        ::chmod(own.constData(), 0700);
    return true;
}

QString Utils::fileConfig()
{
    return dirConfig() + "/config.ini";
}

QString Utils::fileInstallation()
{
    return dirConfig() + "/installation.xml";
}

QString Utils::fileInstallationTmp()
{
    return dirConfig() + "/installation.xml.tmp";
}

QString Utils::fileLock()
{
    return dirConfig() + "/Kavrel.lock";
}

QString Utils::fileState()
{
    return dirConfig() + "/Kavrel.state";
}

QString Utils::fileStateTmp()
{
    return dirConfig() + "/Kavrel.state.tmp";
}

QString Utils::dirLog()
{
    return dirConfig() + "/log";
}

QString Utils::dirCertificates()
{
    return dirConfig() + "/certificates";
}

QString Utils::fileCertificateCa()
{
    return dirCertificates() + "/ca.crt";
}

QString Utils::fileCertificateSsl(QString name)
{
    return dirCertificates() + "/" + name.replace(':', '-') + ".p12";
}

QString Utils::passwordCertificateSsl()
{
    return "kretu";
}

QString Utils::cnPrefixCerificateCa()
{
    return "Obrenta Kavrel CA";
}

QString Utils::protocolHandlerScheme()
{
    return "obrenta-kavrel";
}

QByteArray Utils::readFile(QString path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Utils::readFile: Nepodarilo sa otvorit subor " << path << "-" << file.errorString();
        return QByteArray();
    }
    const QByteArray data = file.readAll();
    if (data.isEmpty())
        qWarning() << "Utils::readFile: Nepodarilo sa nacitat subor " << path << "-" << file.errorString();
    file.close();
    return data;
}

bool Utils::removeFile(QString path)
{
    return QFile::remove(path) || !QFileInfo::exists(path);
}

static bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

int Utils::openPrivateFile(const QString &path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | flags,
                          0600);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        ::fchmod(fd, 0600);
    return fd;
}

// Moves from to to only where to does not exist, in one step.
static int renameNoReplace(const char *from, const char *to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // A file system without it: a hard link is just as exclusive.
    if (::link(from, to) != 0)
        return -1;
    ::unlink(from);
    return 0;
}

Utils::WriteResult Utils::writePrivateFile(const QString &path, const QByteArray &data, bool replace)
{
    const QByteArray target = QFile::encodeName(path);
    // A name nobody else chose, created by us alone (O_EXCL, mode 0600): a link
    // or file placed under a predictable name is never opened, let alone renamed.
    QByteArray temporary = target + ".tmp.XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return OpenFailed;
    // On disk before the rename, or a crash could still leave an empty file in place.
    bool ok = writeAll(fd, data.constData(), data.size()) && (::fsync(fd) == 0 || errno == EINVAL);
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok
        && (replace ? std::rename(temporary.constData(), target.constData())
                    : renameNoReplace(temporary.constData(), target.constData()))
            == 0)
        return Written;
    const WriteResult result = ok ? RenameFailed : WriteFailed;
    if (ok)
        error = errno;
    ::unlink(temporary.constData());
    errno = error;
    return result;
}

std::unique_ptr<QSettings> Utils::config(const QString &path)
{
    return std::make_unique<QSettings>(path, QSettings::IniFormat);
}

QString Utils::setAsideName(const QString &path)
{
    const QString base = path + ".unreadable-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    QString name = base;
    struct stat st;
    for (int n = 2; ::lstat(QFile::encodeName(name).constData(), &st) == 0; ++n)
        name = base + "-" + QString::number(n);
    return name;
}

namespace {

enum class Edit { Done, Failed, Unreadable };

// One try: the change made on a copy of current, read back, then renamed
// over config.ini. Unreadable when Qt cannot parse current itself.
Edit editConfig(const QString &configPath, const QByteArray &current, const std::function<void(QSettings &)> &change)
{
    // Names QSettings has never seen, or it answers from its cache. Created for
    // the owner only; QSettings keeps that mode when it rewrites the file.
    const QString edited = configPath + "." + QUuid::createUuid().toString(QUuid::Id128);
    const QString readBack = edited + ".check";
    const int fd = Utils::openPrivateFile(edited, O_EXCL);
    QFile copy;
    bool ok = fd >= 0 && copy.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)
        && copy.write(current) == current.size() && copy.flush();
    copy.close();

    bool unreadable = false;
    QMap<QString, QVariant> expected;
    if (ok) {
        const std::unique_ptr<QSettings> settings = Utils::config(edited);
        // Qt tells what it cannot parse only once it has been through the file,
        // and then never writes our change back.
        settings->sync();
        unreadable = settings->status() == QSettings::FormatError;
        ok = !unreadable;
        if (ok) {
            change(*settings);
            settings->sync();
            unreadable = settings->status() == QSettings::FormatError;
            ok = settings->status() == QSettings::NoError;
            for (const QString &key : settings->allKeys())
                expected.insert(key, settings->value(key));
        }
    }
    ok = ok && QFile::rename(edited, readBack);
    if (ok) {
        const std::unique_ptr<QSettings> written = Utils::config(readBack);
        QStringList keys = written->allKeys();
        keys.sort();
        ok = written->status() == QSettings::NoError && keys == expected.keys();
        for (auto it = expected.cbegin(); ok && it != expected.cend(); ++it) {
            const QVariant value = written->value(it.key());
            ok = value == it.value() || value.toString() == it.value().toString();
        }
    }
    ok = ok && std::rename(QFile::encodeName(readBack).constData(), QFile::encodeName(configPath).constData()) == 0;
    QFile::remove(edited);
    QFile::remove(readBack);
    return ok ? Edit::Done : unreadable ? Edit::Unreadable : Edit::Failed;
}

// The user's bytes stay, beside it; the settings start afresh.
bool setConfigAside(const QString &configPath)
{
    const QString aside = Utils::setAsideName(configPath);
    if (renameNoReplace(QFile::encodeName(configPath).constData(), QFile::encodeName(aside).constData()) != 0) {
        qWarning() << "Nepodarilo sa odlozit necitatelny subor nastaveni" << configPath << "-" << strerror(errno);
        return false;
    }
    qWarning() << "Subor nastaveni sa neda precitat, odkladam ho ako" << aside << "a pokracujem s novym:" << configPath;
    return true;
}

} // namespace

// QSettings of Qt 5.15 ignores a failed flush and puts an empty or cut file in
// place of config.ini when the disk is full, reporting no error. So the change
// is made on a copy, read back and only then renamed over config.ini.
bool Utils::changeConfig(const std::function<void(QSettings &)> &change)
{
    if (!createDirConfig())
        return false;
    const QString configPath = fileConfig();
    // The lock QSettings takes for the file itself, so its other writers wait.
    QLockFile lock(configPath + ".lock");
    if (!lock.tryLock(10000))
        return false;

    QByteArray current;
    bool unreadable = false;
    QFile file(configPath);
    if (file.open(QIODevice::ReadOnly)) {
        current = file.readAll();
    } else if (file.exists()) {
        // A readable file that failed to open (no descriptor left, say) is
        // left alone; one we may not read, or no file at all, never heals.
        const QFileInfo info(configPath);
        if (info.isFile() && info.isReadable())
            return false;
        unreadable = true;
    }
    file.close();

    if (!unreadable) {
        const Edit result = editConfig(configPath, current, change);
        if (result != Edit::Unreadable)
            return result == Edit::Done;
    }
    return setConfigAside(configPath) && editConfig(configPath, QByteArray(), change) == Edit::Done;
}

bool Utils::isFirstInstance()
{
    return Server::lastInstance != nullptr;
}

// Read once per process: later changes of the state file are not seen.
static QStringList serverUrls;

QStringList Utils::getServerUrls()
{
    if (!serverUrls.isEmpty())
        return serverUrls;
    const QByteArray content = readFile(fileState());
    if (!content.isEmpty())
        serverUrls = readServerUrls(content);
    if (serverUrls.isEmpty())
        Logger::giveUp(tr("Nepodarilo sa prečítať informácie o stave."));
    return serverUrls;
}

QStringList Utils::readServerUrls(const QByteArray &content)
{
    QStringList urls;
    const QStringList lines = QString::fromUtf8(content).trimmed().split('\n', Qt::SkipEmptyParts);
    for (const QString &line : lines)
        if (!line.trimmed().isEmpty())
            urls << line.trimmed();
    return urls;
}

QString Utils::getServerUrlByHostname(QString hostname)
{
    const QStringList urls = getServerUrls();
    for (const QString &url : urls)
        if (QUrl(url, QUrl::TolerantMode).host(QUrl::FullyDecoded) == hostname)
            return url;
    return QString();
}

namespace {

// An address as the kernel's socket diagnostics want it: network byte order,
// IPv4 in the first word. False for an address that is neither family.
bool diagAddress(const QHostAddress &address, bool v4, __be32 words[4])
{
    memset(words, 0, 4 * sizeof(__be32));
    bool ok = false;
    if (v4) {
        words[0] = htonl(address.toIPv4Address(&ok));
        return ok;
    }
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    memcpy(words, bytes.c, 16);
    return address.protocol() == QAbstractSocket::IPv6Protocol;
}

} // namespace

// The kernel looks up exactly this connection; reading the whole connection
// tables instead would cost time for every socket of the machine.
qint64 Utils::socketOwner(const QHostAddress &address, quint16 port, const QHostAddress &remoteAddress,
                          quint16 remotePort)
{
    bool local4 = false, remote4 = false;
    address.toIPv4Address(&local4);
    remoteAddress.toIPv4Address(&remote4);
    const bool v4 = local4 && remote4;

    struct
    {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query;
    memset(&query, 0, sizeof query);
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = v4 ? AF_INET : AF_INET6;
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0U;
    query.request.id.idiag_sport = htons(port);
    query.request.id.idiag_dport = htons(remotePort);
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (!diagAddress(address, v4, query.request.id.idiag_src)
        || !diagAddress(remoteAddress, v4, query.request.id.idiag_dst))
        return -1;

    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return OWNER_UNASKED;
    const timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    qint64 owner = -1;
    alignas(nlmsghdr) char answer[8192];
    if (::sendto(fd, &query, sizeof query, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) == sizeof query) {
        sockaddr_nl from;
        socklen_t fromSize = sizeof from;
        const ssize_t size = ::recvfrom(fd, answer, sizeof answer, 0, reinterpret_cast<sockaddr *>(&from), &fromSize);
        const nlmsghdr *reply = reinterpret_cast<const nlmsghdr *>(answer);
        // Anything but the kernel's record of the one connection (an error,
        // no such connection) leaves the owner unknown.
        if (size > 0 && fromSize == sizeof from && from.nl_pid == 0 && NLMSG_OK(reply, size_t(size))
            && reply->nlmsg_type == SOCK_DIAG_BY_FAMILY && reply->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg)))
            owner = static_cast<const inet_diag_msg *>(NLMSG_DATA(reply))->idiag_uid;
    }
    ::close(fd);
    return owner;
}

QMap<QString, QHostAddress> Utils::hostnames()
{
    QMap<QString, QHostAddress> table;
    table.insert("kavrel.localhost", QHostAddress("127.0.0.1"));
    return table;
}

QString Utils::ipToHostname(QString ipOrHostname)
{
    static const QString literalSuffix = ".ipv6-literal.net";
    if (ipOrHostname.endsWith(literalSuffix)) {
        ipOrHostname.chop(literalSuffix.size());
        ipOrHostname.replace('-', ':');
    }
    const QMap<QString, QHostAddress> table = hostnames();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (it.key() == ipOrHostname || it.value().toString() == ipOrHostname)
            return it.key();
        QHostAddress address;
        if (address.setAddress(ipOrHostname) && address.protocol() == QAbstractSocket::IPv6Protocol
            && QHostAddress(address.toIPv6Address()).toString() == it.value().toString())
            return it.key();
    }
    return QString();
}

static void showMessage(QMessageBox::Icon icon, const QString &msg, const QString &info)
{
    QMessageBoxResize box;
    box.setIcon(icon);
    box.setText(msg);
    box.setInformativeText(info);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.setDetailedText(Logger::getMessages());
    Utils::disableQMessageBoxWrapping(box);
    box.exec();
}

void Utils::showWarningMessage(QString msg, QString info)
{
    showMessage(QMessageBox::Warning, msg, info);
}

void Utils::showInfoMessage(QString msg, QString info)
{
    showMessage(QMessageBox::Information, msg, info);
}

void Utils::showErrorMessage(QString msg, QString info)
{
    showMessage(QMessageBox::Critical, msg, info);
}

void Utils::disableQMessageBoxWrapping(QMessageBox &box)
{
    if (QTextEdit *edit = QMessageBoxResize::details(box))
        edit->setWordWrapMode(QTextOption::NoWrap);
}
