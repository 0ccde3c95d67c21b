#include "storewatcher.h"

#include "certificatemanagernss.h"
#include "trustinstaller.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

// The same store by whatever path it was reached.
QString storeKey(const QString &databaseDir)
{
    const bool sql = databaseDir.startsWith("sql:");
    return (sql ? "sql:" : "") + QFileInfo(sql ? databaseDir.mid(4) : databaseDir).canonicalFilePath();
}

} // namespace

StoreWatcher::StoreWatcher(QObject *parent)
    : QObject(parent)
{
    settle.setSingleShot(true);
    settle.setInterval(SETTLE_MS);
    connect(&settle, &QTimer::timeout, this, &StoreWatcher::scan);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, &settle, QOverload<>::of(&QTimer::start));
    connect(&watcher, &QFileSystemWatcher::fileChanged, &settle, QOverload<>::of(&QTimer::start));

    CertificateManagerNss nss(nullptr);
    nss.setQuiet(true);
    const QList<CertificateManagerNss::Store> stores = nss.findStores();
    for (const CertificateManagerNss::Store &store : stores)
        known << storeKey(store.databaseDir);
    watch(nss.placesOfStores());
}

// A profile list is watched with its directory, which also sees it replaced;
// a directory that has no store yet until one comes; a place that does not
// exist yet through the nearest directory above it that does. A directory
// that holds a store already is left alone: a browser writes there all day.
void StoreWatcher::watch(const QStringList &places)
{
    QSet<QString> wanted;
    for (const QString &place : places) {
        QFileInfo info(place);
        if (info.isFile()) {
            wanted << info.absoluteFilePath() << info.absolutePath();
            continue;
        }
        if (info.isDir()) {
            if (!QDir(place).exists("cert9.db"))
                wanted << info.absoluteFilePath();
            continue;
        }
        QString dir = info.absolutePath();
        while (!QFileInfo(dir).isDir() && dir != QDir::rootPath())
            dir = QFileInfo(dir).absolutePath();
        wanted << dir;
    }
    const QStringList watched = watcher.files() + watcher.directories();
    for (const QString &path : watched)
        if (!wanted.contains(path))
            watcher.removePath(path);
    for (const QString &path : qAsConst(wanted))
        if (!watched.contains(path))
            watcher.addPath(path);
}

void StoreWatcher::scan()
{
    // A notice or another look at the stores is under way; ours follows it.
    if (TrustInstaller::busy()) {
        settle.start();
        return;
    }
    const TrustInstaller::Busy busy;
    CertificateManagerNss nss(nullptr);
    nss.setQuiet(true);
    const QList<CertificateManagerNss::Store> stores = nss.findStores();
    watch(nss.placesOfStores());
    const QByteArray ca = TrustInstaller::currentCa();
    bool lacking = false;
    for (const CertificateManagerNss::Store &store : stores) {
        const QString key = storeKey(store.databaseDir);
        if (known.contains(key) || ca.isEmpty())
            continue;
        const CertificateManagerNss::Trust trust = nss.trustIn(store.databaseDir, ca);
        // Perhaps still being written: looked at again at the next change.
        if (trust == CertificateManagerNss::Unreadable)
            continue;
        known << key;
        qInfo() << "Nova databaza certifikatov:" << CertificateManagerNss::entryDir(store.databaseDir)
                << (trust == CertificateManagerNss::Trusted ? "duveruje CA" : "neduveruje CA");
        lacking = lacking || trust != CertificateManagerNss::Trusted;
    }
    if (lacking)
        TrustInstaller::offer(ca, nss);
}
