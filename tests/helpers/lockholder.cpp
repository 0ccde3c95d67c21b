// Holds the agent's lock for a moment, as a launcher that tests it does:
// "lockholder MS LOG TEXT" takes the lock of the current HOME and prints
// "held", waits until the file LOG contains TEXT, holds on for MS
// milliseconds more, then lets go, prints "released" and ends. The wait is
// timed here rather than in the test, whose own work could delay it.
#include "utils.h"

#include <QCoreApplication>
#include <QFile>
#include <QLockFile>
#include <QTimer>

#include <cstdio>

static bool contains(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(text);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool ok = false;
    const int holdMs = args.value(1).toInt(&ok);
    if (args.size() != 4 || !ok || holdMs < 0) {
        fprintf(stderr, "usage: lockholder MS LOG TEXT\n");
        return 2;
    }
    const QString log = args[2];
    const QByteArray text = args[3].toUtf8();

    Utils::createDirConfig();
    QLockFile lock(Utils::fileLock());
    if (!lock.tryLock(0)) {
        fprintf(stderr, "lock not taken: %d\n", int(lock.error()));
        return 1;
    }
    printf("held\n");
    fflush(stdout);

    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&]() {
        if (!contains(log, text))
            return;
        watch.stop();
        QTimer::singleShot(holdMs, Qt::PreciseTimer, [&]() {
            lock.unlock();
            printf("released\n");
            fflush(stdout);
            app.quit();
        });
    });
    watch.start(10);
    return app.exec();
}
