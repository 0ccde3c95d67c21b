// The state file as a launcher reads it, and the host looked up in it.
#include "fuzzsupport.h"
#include "utils.h"

#include <QUrl>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzSetUp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList urls = Utils::readServerUrls(bytes(data, size));
    for (const QString &url : urls)
        QUrl(url, QUrl::TolerantMode).host(QUrl::FullyDecoded);
    return 0;
}
