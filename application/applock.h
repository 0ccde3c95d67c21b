#ifndef APPLOCK_H
#define APPLOCK_H

#include <QString>
#include <QtGlobal>

class QLockFile;

// The single-instance lock of the main instance, on Utils::fileLock().
class AppLock
{
public:
    explicit AppLock(int timeout);
    ~AppLock();

    bool isLocked() const;
    // Not taken because a live process holds it, rather than because the
    // lock file could not be created at all.
    bool isHeldElsewhere() const;
    bool getLockInfo(qint64 *pid, QString *hostname, QString *appname) const;

private:
    Q_DISABLE_COPY(AppLock)
    QLockFile *lock;
};

bool isSingletonRunning();

#endif // APPLOCK_H
