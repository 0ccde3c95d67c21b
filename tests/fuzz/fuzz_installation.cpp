// The installation record, read back at every start of the main instance.
#include "fuzzsupport.h"
#include "installationfilemanager.h"
#include "utils.h"

#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // A home of its own, so the record written here is nobody's.
    static QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    fuzzSetUp(argc, argv);
    Utils::createDirConfig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QFile record(Utils::fileInstallation());
    if (!record.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    record.write(bytes(data, size));
    record.close();
    InstallationFileManager(nullptr).check();
    return 0;
}
