#include "installmanager.h"

#include "applock.h"
#include "certificatemanagernss.h"
#include "certificatemanageros.h"
#include "protocolhandlermanager.h"
#include "utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <csignal>
#include <sys/types.h>

// How long a signalled main instance may take to end before its
// configuration directory is deleted anyway.
static const int END_WAIT_MS = 10000;

static QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(4096);
}

// Gone, or a zombie that has done all it will ever do.
static bool hasEnded(qint64 pid)
{
    const QByteArray stat = readProcFile("/proc/" + QString::number(pid) + "/stat");
    const int end = stat.lastIndexOf(')');
    return end < 0 || stat.mid(end + 2, 1) == "Z";
}

InstallManager::InstallManager(QObject *parent)
    : QObject(parent)
{
}

bool InstallManager::install(bool quiet)
{
    Q_UNUSED(quiet);
    return true;
}

bool InstallManager::uninstall(bool quiet)
{
    Q_UNUSED(quiet);
    killAll();
    ProtocolHandlerManager(nullptr).uninstall();
    CertificateManagerNss(nullptr).removeCertificates(QByteArray());
    CertificateManagerOs(nullptr).removeCertificates(QByteArray());
    QDir config(Utils::dirConfig());
    if (config.exists())
        config.removeRecursively();
    return true;
}

// Only the lock holder is signalled, and only while it runs under our own
// name, so a reused process id is left alone. Its end is awaited so that
// nothing it writes on its way out outlives the configuration directory.
bool InstallManager::killAll()
{
    qint64 pid = 0;
    {
        AppLock probe(0);
        QString hostname, appname;
        if (probe.isLocked() || !probe.getLockInfo(&pid, &hostname, &appname) || pid <= 0)
            return true;
    }
    const QByteArray own = readProcFile("/proc/self/comm");
    const QByteArray holder = readProcFile("/proc/" + QString::number(pid) + "/comm");
    if (own.isEmpty() || own != holder)
        return true;
    if (::kill(pid_t(pid), SIGTERM) != 0)
        return true;
    QElapsedTimer waited;
    waited.start();
    while (!hasEnded(pid) && waited.elapsed() < END_WAIT_MS)
        QThread::msleep(20);
    return true;
}
