// What a page or an application sends: the JSON-RPC reader.
#include "fuzzsupport.h"
#include "server.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzSetUp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QVariantMap params;
    Server::readCommand(QString::fromUtf8(bytes(data, size)), &params);
    return 0;
}
