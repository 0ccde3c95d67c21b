// Opens a wss:// URL trusting only the CA certificate read from standard
// input, and prints what the agent answered: "text <message>" for its first
// message or "closed <code> <reason>". Started under other accounts, so it
// needs no file of the test's home.
#include <QCoreApplication>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QWebSocket>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        fprintf(stderr, "usage: wssclient URL < ca.pem\n");
        return 2;
    }
    QFile input;
    input.open(stdin, QIODevice::ReadOnly);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(QSslCertificate::fromData(input.readAll()));

    QWebSocket socket;
    socket.setSslConfiguration(configuration);
    QObject::connect(&socket, &QWebSocket::textMessageReceived, [&](const QString &text) {
        printf("text %s\n", qUtf8Printable(text));
        app.exit(0);
    });
    QObject::connect(&socket, &QWebSocket::disconnected, [&]() {
        printf("closed %d %s\n", int(socket.closeCode()), qUtf8Printable(socket.closeReason()));
        app.exit(0);
    });
    QTimer::singleShot(20000, &app, [&]() { app.exit(1); });
    socket.open(QUrl(app.arguments().at(1)));
    return app.exec();
}
