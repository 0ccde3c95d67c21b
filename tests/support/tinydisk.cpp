#include "tinydisk.h"

#include "testsupport.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <sys/statvfs.h>

static bool mount(const QStringList &args)
{
    return TestSupport::run("mount", args).exitCode == 0;
}

static bool umount(const QStringList &args)
{
    return TestSupport::run("umount", args).exitCode == 0;
}

TinyDisk::TinyDisk(const QString &dir)
    : path(dir)
{
    QDir().mkpath(dir);
    mounted = mount({"-t", "tmpfs", "-o", "size=64k,mode=0700", "tmpfs", dir});
}

TinyDisk::~TinyDisk()
{
    if (mounted && !umount({path}))
        umount({"-l", path});
}

bool TinyDisk::remount(const QString &options)
{
    return mount({"-o", "remount," + options, path});
}

bool TinyDisk::leaveFree(int pages)
{
    QFile filler(path + "/.filler");
    if (!filler.open(QIODevice::Append))
        return false;
    const qint64 extra = freeBytes() - pages * PAGE;
    if (extra < 0 || filler.write(QByteArray(int(extra), '\0')) != extra || !filler.flush())
        return false;
    return freeBytes() == pages * PAGE;
}

qint64 TinyDisk::freeBytes() const
{
    struct statvfs st;
    return ::statvfs(QFile::encodeName(path).constData(), &st) == 0 ? qint64(st.f_bavail) * qint64(st.f_frsize) : -1;
}
