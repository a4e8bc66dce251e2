// Manifest.mbdb from a backup folder: parse every record, then write the set back.
#include "backup/mbdb.h"
#include "fuzz_support.h"

#include <stdexcept>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        const MbdbRecordSet records = parseMbdb(fuzz::bytes(data, size));
        (void)serializeMbdb(records.values());
    } catch (const std::runtime_error&) {
        // A clear error is the expected answer to a damaged manifest.
    }
    return 0;
}
