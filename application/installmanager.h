#ifndef INSTALLMANAGER_H
#define INSTALLMANAGER_H

#include <QObject>

// Registration and full removal of the agent for the -i and -u options.
class InstallManager : public QObject
{
    Q_OBJECT

public:
    explicit InstallManager(QObject *parent = nullptr);

    bool install(bool quiet);
    bool uninstall(bool quiet);
    bool killAll();
};

#endif // INSTALLMANAGER_H
