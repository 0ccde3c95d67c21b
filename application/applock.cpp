#include "applock.h"

#include "utils.h"

#include <QLockFile>
#include <QSysInfo>

#include <cerrno>
#include <csignal>

AppLock::AppLock(int timeout)
    : lock(new QLockFile(Utils::fileLock()))
{
    Utils::createDirConfig();
    // Only a lock whose owner process is gone counts as stale, never an old one.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(timeout) && lock->error() == QLockFile::LockFailedError) {
        lock->removeStaleLockFile();
        lock->tryLock(timeout);
    }
}

AppLock::~AppLock()
{
    delete lock;
}

bool AppLock::isLocked() const
{
    return lock->isLocked();
}

bool AppLock::isHeldElsewhere() const
{
    if (lock->isLocked() || lock->error() != QLockFile::LockFailedError)
        return false;
    // A file whose owner is gone that we could not remove is no running instance.
    qint64 pid = 0;
    QString hostname, appname;
    if (!lock->getLockInfo(&pid, &hostname, &appname) || pid <= 0 || hostname != QSysInfo::machineHostName())
        return true;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

bool AppLock::getLockInfo(qint64 *pid, QString *hostname, QString *appname) const
{
    return lock->getLockInfo(pid, hostname, appname);
}

bool isSingletonRunning()
{
    AppLock probe(0);
    return probe.isHeldElsewhere();
}
