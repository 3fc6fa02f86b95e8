// Every input the fuzz target ever crashed on (fixtures/fuzz-crashes) runs again here, in every
// build, along with the corpus archives cut and flipped in a few fixed ways.
#include "fuzz_one.h"

#include <gtest/gtest.h>

using namespace ziptest;

namespace {

TEST(ArchiveFuzzReplayTest, KeptCrashesRunCleanly) {
    fs::path dir = Fixtures() / "fuzz-crashes";
    int inputs = 0;
    for (auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() == ".md") continue;
        std::vector<uint8_t> data = ReadBytes(e.path());
        SCOPED_TRACE(e.path().filename().string());
        FuzzOne(data.data(), data.size(), fs::current_path() / "scratch-replay");
        ++inputs;
    }
    std::error_code ec;
    fs::remove_all(fs::current_path() / "scratch-replay", ec);
    std::cout << inputs << " kept fuzz inputs replayed\n";
}

} // namespace
