#include "applock.h"

#include "utils.h"

#include <QLockFile>

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

bool AppLock::getLockInfo(qint64 *pid, QString *hostname, QString *appname) const
{
    return lock->getLockInfo(pid, hostname, appname);
}

bool isSingletonRunning()
{
    AppLock probe(0);
    return !probe.isLocked();
}
