#ifndef MAINLAUNCHER_H
#define MAINLAUNCHER_H

#include <QCoreApplication>
#include <QStringList>

// The short-lived instance that a launch URL or "-l" starts: it makes sure the
// main instance runs and tells the caller where its server listens.
class MainLauncher
{
    Q_DECLARE_TR_FUNCTIONS(MainLauncher)

public:
    int run(QStringList args, bool firstStart);
    static bool waitForSingleton();
    int handleProtocolUrl(QString url);
    int handleExternalApp();
};

#endif // MAINLAUNCHER_H
