#include "utils.h"

#include "logger.h"
#include "qmessageboxresize.h"
#include "server.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QTemporaryFile>
#include <QTextEdit>
#include <QUrl>
#include <QtEndian>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
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

Utils::WriteResult Utils::writePrivateFile(const QString &path, const QByteArray &data, bool replace)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".tmp";
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return OpenFailed;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        ::fchmod(fd, 0600);
    // On disk before the rename, or a crash could still leave an empty file in place.
    bool ok = writeAll(fd, data.constData(), data.size()) && (::fsync(fd) == 0 || errno == EINVAL);
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && !replace && QFileInfo::exists(path)) {
        ::unlink(temporary.constData());
        errno = EEXIST;
        return RenameFailed;
    }
    if (ok && std::rename(temporary.constData(), target.constData()) == 0)
        return Written;
    const WriteResult result = ok ? RenameFailed : WriteFailed;
    if (ok)
        error = errno;
    ::unlink(temporary.constData());
    errno = error;
    return result;
}

// QSettings of Qt 5.15 ignores a failed flush and puts an empty or cut file in
// place of config.ini when the disk is full, reporting no error. So the change
// is made on a copy, read back and only then renamed over config.ini.
bool Utils::changeConfig(const std::function<void(QSettings &)> &change)
{
    if (!createDirConfig())
        return false;
    const QString config = fileConfig();
    // The lock QSettings takes for the file itself, so its other writers wait.
    QLockFile lock(config + ".lock");
    if (!lock.tryLock(10000))
        return false;

    QByteArray current;
    QFile file(config);
    if (file.open(QIODevice::ReadOnly))
        current = file.readAll();
    else if (file.exists())
        return false;
    file.close();

    // Created for the owner only; QSettings keeps that mode when it rewrites it.
    QTemporaryFile copy(config + ".XXXXXX");
    if (!copy.open())
        return false;
    const QString edited = copy.fileName();
    // Read back under a name QSettings has never seen, or it answers from its cache.
    const QString readBack = edited + ".check";
    bool ok = copy.write(current) == current.size() && copy.flush();
    copy.close();

    QMap<QString, QVariant> expected;
    if (ok) {
        QSettings settings(edited, QSettings::IniFormat);
        change(settings);
        settings.sync();
        ok = settings.status() == QSettings::NoError;
        for (const QString &key : settings.allKeys())
            expected.insert(key, settings.value(key));
    }
    ok = ok && QFile::rename(edited, readBack);
    if (ok) {
        QSettings written(readBack, QSettings::IniFormat);
        QStringList keys = written.allKeys();
        keys.sort();
        ok = written.status() == QSettings::NoError && keys == expected.keys();
        for (auto it = expected.cbegin(); ok && it != expected.cend(); ++it) {
            const QVariant value = written.value(it.key());
            ok = value == it.value() || value.toString() == it.value().toString();
        }
    }
    ok = ok
        && std::rename(QFile::encodeName(readBack).constData(), QFile::encodeName(config).constData()) == 0;
    QFile::remove(readBack);
    return ok;
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
        qCritical().noquote() << tr("Nepodarilo sa prečítať informácie o stave.");
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

// An address of the connection tables: the 32-bit words of the address in
// the machine's byte order, in hex, then ':' and the port in hex.
bool readTableEndpoint(const QByteArray &text, QHostAddress *address, quint16 *port)
{
    const int colon = text.indexOf(':');
    const QByteArray hex = text.left(colon);
    if (colon < 0 || (hex.size() != 8 && hex.size() != 32))
        return false;
    quint8 bytes[16];
    for (int word = 0; word < hex.size() / 8; ++word) {
        bool ok = false;
        const quint32 value = hex.mid(word * 8, 8).toUInt(&ok, 16);
        if (!ok)
            return false;
        memcpy(bytes + word * 4, &value, 4);
    }
    if (hex.size() == 8)
        address->setAddress(qFromBigEndian<quint32>(bytes));
    else
        address->setAddress(bytes);
    bool ok = false;
    *port = quint16(text.mid(colon + 1).toUInt(&ok, 16));
    return ok && text.size() - colon - 1 == 4;
}

} // namespace

qint64 Utils::socketOwner(const QHostAddress &address, quint16 port, const QHostAddress &remoteAddress,
                          quint16 remotePort)
{
    static const QByteArray TIME_WAIT = "06";
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(table);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        // Entries are lines of space-separated columns: number, local end,
        // remote end, state, queues, timers, retransmits, uid, ...
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (int i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> columns = lines[i].simplified().split(' ');
            QHostAddress local, remote;
            quint16 localPort = 0, remotePortSeen = 0;
            // A socket waiting out its close has no owner any more.
            if (columns.size() < 8 || columns[3] == TIME_WAIT || !readTableEndpoint(columns[1], &local, &localPort)
                || !readTableEndpoint(columns[2], &remote, &remotePortSeen))
                continue;
            if (localPort != port || remotePortSeen != remotePort || !local.isEqual(address)
                || !remote.isEqual(remoteAddress))
                continue;
            bool ok = false;
            const qint64 uid = columns[7].toLongLong(&ok);
            return ok ? uid : -1;
        }
    }
    return -1;
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
    const QList<QWidget *> widgets = box.findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        if (QLatin1String(widget->metaObject()->className()) != QLatin1String("QMessageBoxDetailsText"))
            continue;
        if (QTextEdit *edit = widget->findChild<QTextEdit *>())
            edit->setWordWrapMode(QTextOption::NoWrap);
    }
}
