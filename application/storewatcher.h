#ifndef STOREWATCHER_H
#define STOREWATCHER_H

#include <QFileSystemWatcher>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

// Notices certificate stores that browsers make while the agent runs (a new
// Firefox profile, Chromium's first secure connection) and offers them the
// CA through the usual notice. Sleeps on inotify: nothing wakes it up until
// something changes where stores appear.
class StoreWatcher : public QObject
{
    Q_OBJECT

public:
    // Browsers write a new store in several steps; it is looked at once this
    // long has passed without another change.
    static const int SETTLE_MS = 1500;

    // The stores there are now count as known: the configuration check has
    // dealt with them.
    explicit StoreWatcher(QObject *parent = nullptr);

private slots:
    void scan();

private:
    void watch(const QStringList &places);

    QFileSystemWatcher watcher;
    QTimer settle;
    QSet<QString> known;
};

#endif // STOREWATCHER_H
