// Logs through the agent's handler: "before" gives up before the application
// object exists, "after" once it does (showing the error box), "warn" logs a
// warning first and ends normally.
#include "logger.h"
#include "myapplication.h"

#include <QDebug>

int main(int argc, char **argv)
{
    Logger::installMessageHandler();
    const QByteArray mode = argc > 1 ? argv[1] : "";
    qWarning() << "Sonda pred aplikaciou" << QString("%1 %3");
    if (mode == "before")
        qCritical() << "Kriticka chyba pred aplikaciou";
    MyApplication app(argc, argv);
    changeLanguage(nullptr, argc > 2 ? argv[2] : "sk");
    if (mode == "after")
        qCritical().noquote() << "Kriticka chyba s aplikaciou";
    return 0;
}
