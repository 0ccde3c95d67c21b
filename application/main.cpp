#include "applock.h"
#include "installationfilemanager.h"
#include "installmanager.h"
#include "logger.h"
#include "mainlauncher.h"
#include "mainsingleton.h"
#include "myapplication.h"
#include "utils.h"

#include <QDebug>
#include <QProcess>
#include <QStringList>

#include <cstdio>

#include <sys/resource.h>

static void printUsage()
{
    const QByteArray usage = QString("Použitie:\n"
                                     "-h\t tento text\n"
                                     "-i\t zaregistruje aplikáciu\n"
                                     "-u\t odregistruje aplikáciu\n"
                                     "-s\t spusti hlavnú čast aplikácie\n"
                                     "-l\t spusti alebo presmeruje cez stdout na hlavnú časť aplikácie\n"
                                     "-q\t tichý režim\n")
                                 .toUtf8();
    fwrite(usage.constData(), 1, usage.size(), stdout);
    fflush(stdout);
}

// A desktop session starts processes with a soft limit of 1024 descriptors,
// made for select(); Qt's event loop polls, so the agent takes all it may and
// its own bounds keep it far below.
static void raiseDescriptorLimit()
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Detached from our standard streams, so that whoever reads the launcher's
// output is not kept waiting by the main instance it started.
static bool startMainInstance()
{
    QProcess process;
    process.setProgram(Utils::fileApp());
    process.setArguments({"-s"});
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

int main(int argc, char **argv)
{
    Logger::installMessageHandler();
    raiseDescriptorLimit();
    // Qt's own event loop rather than GLib's, which wakes itself with a write
    // for every event posted: relaying one message posts several. Not passed
    // on to what the agent starts.
    qputenv("QT_NO_GLIB", "1");
    MyApplication app(argc, argv);
    qunsetenv("QT_NO_GLIB");
    changeLanguage(nullptr, MyApplication::storedLanguage());

    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromUtf8(argv[i]);
    qInfo() << "Startujem..." << args;

    if (args.contains("-h")) {
        printUsage();
        return 0;
    }
    const bool quiet = args.contains("-q");
    if (args.contains("-u")) {
        InstallationFileManager(nullptr).uninstall();
        InstallManager(nullptr).uninstall(quiet);
        return 0;
    }
    if (args.contains("-i")) {
        InstallationFileManager(nullptr).install();
        InstallManager(nullptr).install(quiet);
        return 0;
    }
    if (args.contains("-s")) {
        MainSingleton mainSingleton;
        return mainSingleton.run(args);
    }
    bool firstStart = false;
    if (!isSingletonRunning()) {
        if (!startMainInstance())
            Logger::giveUp("Nepodarilo sa spustit hlavnu aplikaciu");
        firstStart = true;
    }
    MainLauncher launcher;
    return launcher.run(args, firstStart);
}
