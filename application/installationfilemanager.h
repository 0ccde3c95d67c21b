#ifndef INSTALLATIONFILEMANAGER_H
#define INSTALLATIONFILEMANAGER_H

#include <QObject>
#include <QString>

// The installation record: which version of the program is installed where.
class InstallationFileManager : public QObject
{
    Q_OBJECT

public:
    explicit InstallationFileManager(QObject *parent = nullptr);

    bool install();
    bool check();
    bool uninstall();

private:
    QString ns;
};

#endif // INSTALLATIONFILEMANAGER_H
