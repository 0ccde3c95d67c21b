// Reads the state file of the current HOME the way a launcher does and prints
// "url <u>" per server URL, then "host <name> <url>" for every host name given
// as an argument. With --change the state file is rewritten after the first
// read and the list printed again as "again <u>" lines. Only a core
// application exists, so a critical message ends the process at once.
#include "logger.h"
#include "utils.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>

static void printUrls(const char *label, const QStringList &urls)
{
    for (const QString &url : urls)
        printf("%s %s\n", label, qUtf8Printable(url));
}

int main(int argc, char **argv)
{
    Logger::installMessageHandler();
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool change = args.removeAll("--change") > 0;

    printUrls("url", Utils::getServerUrls());
    if (change) {
        QFile state(Utils::fileState());
        if (!state.open(QIODevice::WriteOnly | QIODevice::Truncate) || state.write("wss://changed:9/master/t\n") < 0)
            return 3;
        state.close();
        printUrls("again", Utils::getServerUrls());
    }
    for (const QString &host : qAsConst(args))
        printf("host %s %s\n", qUtf8Printable(host), qUtf8Printable(Utils::getServerUrlByHostname(host)));
    return 0;
}
