#ifndef TINYDISK_H
#define TINYDISK_H

#include <QString>
#include <QStringList>

// A tmpfs of 16 pages over a directory while the object lives, unmounted
// again whatever the test's outcome. Mounting needs root.
class TinyDisk
{
public:
    static const qint64 PAGE = 4096;

    explicit TinyDisk(const QString &dir);
    ~TinyDisk();
    bool isMounted() const { return mounted; }
    bool remount(const QString &options);
    // Fills the disk up to the given number of free pages.
    bool leaveFree(int pages);

private:
    qint64 freeBytes() const;

    QString path;
    bool mounted = false;
};

#endif // TINYDISK_H
