#ifndef UTILS_H
#define UTILS_H

#include <QByteArray>
#include <QCoreApplication>
#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QMessageBox;
class QSettings;

// Every path and fixed name of the program. Never instantiated; its texts
// translate in the "Utils" context.
class Utils
{
    Q_DECLARE_TR_FUNCTIONS(Utils)

public:
    static QString dirApp();
    static QString fileApp();
    static QString dirConfig();
    static bool createDirConfig();

    static QString fileConfig();
    static QString fileInstallation();
    static QString fileInstallationTmp();
    static QString fileLock();
    static QString fileState();
    static QString fileStateTmp();
    static QString dirLog();
    static QString dirCertificates();
    static QString fileCertificateCa();
    static QString fileCertificateSsl(QString name);

    static QString passwordCertificateSsl();
    static QString cnPrefixCerificateCa();
    static QString protocolHandlerScheme();

    static QByteArray readFile(QString path);
    static bool removeFile(QString path);

    // Opens path for writing by its owner only, as open(2) with O_WRONLY,
    // O_CREAT, O_CLOEXEC, O_NOFOLLOW and flags: a new file gets mode 0600 and an
    // existing one is narrowed to it; a symbolic link is never followed. The
    // descriptor, or -1 with errno set.
    static int openPrivateFile(const QString &path, int flags);
    // Which step of writePrivateFile failed; errno tells why.
    enum WriteResult { Written, OpenFailed, WriteFailed, RenameFailed };
    // Writes data, for the owner only, into a new file of its own under
    // path + ".tmp." and six random characters, created exclusively, and then
    // renames that file to path (over an existing file only with replace), so
    // that a failed write, such as on a full disk, never leaves a truncated file
    // under the final name, and nothing placed beside it is ever written.
    static WriteResult writePrivateFile(const QString &path, const QByteArray &data, bool replace = true);
    // config.ini, or another file of its format, for reading; every change of
    // config.ini goes through changeConfig.
    static std::unique_ptr<QSettings> config(const QString &path = fileConfig());
    // Applies change to config.ini as a whole or not at all; false when nothing
    // changed. A config.ini that cannot be read (or parsed) is set aside under
    // setAsideName() and the change goes to a fresh one.
    static bool changeConfig(const std::function<void(QSettings &)> &change);
    // Where an unreadable config.ini goes: config.ini.unreadable-yyyyMMdd-HHmmss
    // beside it, with -2, -3... when that is taken.
    static QString setAsideName(const QString &path);

    static bool isFirstInstance();
    static QStringList getServerUrls();
    // The URLs of a state file's content, in its order.
    static QStringList readServerUrls(const QByteArray &content);
    static QString getServerUrlByHostname(QString hostname);

    // The account (uid) that owns the local TCP socket at address:port that is
    // connected to remoteAddress:remotePort, as the kernel tells it; -1 when
    // there is no such connection or no answer, OWNER_UNASKED when the
    // question could not even be put (no descriptor for it, say).
    static const qint64 OWNER_UNASKED = -2;
    static qint64 socketOwner(const QHostAddress &address, quint16 port, const QHostAddress &remoteAddress,
                              quint16 remotePort);

    static QMap<QString, QHostAddress> hostnames();
    static QString ipToHostname(QString ipOrHostname);

    static void showWarningMessage(QString msg, QString info = QString());
    static void showInfoMessage(QString msg, QString info = QString());
    static void showErrorMessage(QString msg, QString info = QString());
    static void disableQMessageBoxWrapping(QMessageBox &box);
};

#endif // UTILS_H
