// A Firefox profiles.ini, which any program of the user's may have written.
#include "certificatemanagernss.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzSetUp(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    CertificateManagerNss::profilesFromIni(QString::fromUtf8(bytes(data, size)), "/base");
    return 0;
}
