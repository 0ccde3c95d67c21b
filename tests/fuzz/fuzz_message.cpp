// What a page or an application sends: the JSON-RPC reader, and the quick
// look that decides whether a message is read at all.
#include "fuzzsupport.h"
#include "server.h"
#include "wire.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzSetUp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString msg = QString::fromUtf8(bytes(data, size));
    QVariantMap params;
    const QString method = Server::readCommand(msg, &params);
    // A command the quick look missed would be relayed instead of acted on.
    const Wire::Command claimed = Wire::claimedCommand(msg);
    if ((method == "kavrel.launch" && claimed != Wire::Launch)
        || (method == "kavrel.launchStatus" && claimed != Wire::LaunchStatus))
        __builtin_trap();
    return 0;
}
