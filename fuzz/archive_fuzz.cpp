// libFuzzer target: arbitrary bytes through OpenArchive, GetArchiveItem, ExtractArchiveItem and
// TestArchiveItem. Built and run by scripts/test-extra-fuzz.sh.
#include "fuzz_one.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ziptest::fs::path work = ziptest::fs::current_path() / "fuzz-work";
    ziptest::FuzzOne(data, size, work);
    return 0;
}
