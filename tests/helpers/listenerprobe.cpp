// Builds a listener for a host name (default kavrel.localhost) in the current
// HOME and prints "listening <name> <port>"; with --generate the certificate
// set is made first. Only a core application exists, so a critical message
// ends the process at once instead of waiting on an error box.
#include "certificategenerator.h"
#include "logger.h"
#include "sslwebsocketserver.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    Logger::installMessageHandler();
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.removeAll("--generate") > 0) {
        CertificateGenerator generator(&app);
        generator.generate();
    }
    const QString hostname = args.value(0, "kavrel.localhost");
    SslWebSocketServer server(hostname, &app);
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        fprintf(stderr, "listen failed: %s\n", qUtf8Printable(server.errorString()));
        return 1;
    }
    printf("listening %s %d\n", qUtf8Printable(server.serverName()), server.serverPort());
    return 0;
}
