// The launch URL that any page can make the browser hand to the launcher.
#include "fuzzsupport.h"
#include "redirectserver.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzSetUp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QSet<QString> hostnames;
    QList<quint16> ports;
    QString token;
    if (RedirectServer::readLaunchUrl(QString::fromUtf8(bytes(data, size)), &hostnames, &ports, &token))
        return 0;
    // What passes must be something the launcher can safely listen on.
    if (hostnames.isEmpty() || ports.isEmpty() || ports.size() > 5 || token.isEmpty())
        __builtin_trap();
    for (quint16 port : qAsConst(ports))
        if (port < 49151)
            __builtin_trap();
    return 0;
}
