// Manifest.plist of a backup: device information and the display name made from it.
#include "backup/backupmanifest.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const BackupDeviceInfo info = parseManifestPlist(fuzz::bytes(data, size));
    (void)backupDisplayName(QStringLiteral("00112233445566778899aabbccddeeff00112233"), info);
    return 0;
}
