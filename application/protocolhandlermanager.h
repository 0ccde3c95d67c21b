#ifndef PROTOCOLHANDLERMANAGER_H
#define PROTOCOLHANDLERMANAGER_H

#include <QObject>
#include <QString>

// Makes the program the desktop's handler of its URL scheme: a desktop entry
// file, the icons in the user's icon theme, and refreshed desktop caches.
class ProtocolHandlerManager : public QObject
{
    Q_OBJECT

public:
    explicit ProtocolHandlerManager(QObject *parent = nullptr);

    bool check();
    bool install();
    bool uninstall();

    // The executable path as it stands after "Exec=" in the desktop entry.
    static QString execPath(const QString &path);
};

#endif // PROTOCOLHANDLERMANAGER_H
