// One fuzz input: the bytes become an archive file that is opened, listed and extracted into a
// fresh folder. Shared by the libFuzzer target and the replay suite, so every input the fuzzer
// ever crashed on runs again in every build.
#pragma once
#include "package/archive.h"
#include "zip_support.h"

namespace ziptest {

inline void FuzzOne(const uint8_t* data, size_t size, const fs::path& work) {
    std::error_code ec;
    fs::remove_all(work, ec);
    fs::create_directories(work / "out", ec);
    fs::path file = work / "input.zip";
    WriteBytes(file, std::vector<uint8_t>(data, data + size));
    ArchiveHandle* a = OpenArchive(P(file).c_str(), size > 0 && data[0] == 'P' ? nullptr : "pw");
    if (a == nullptr) return;
    SetExtractFolder(a, P(work / "out").c_str());
    ArchiveItem item;
    GetArchiveItem(a, -1, &item);
    // A forged count may be large; the first items and one far index are enough to walk.
    int32_t count = item.index;
    for (int32_t i = 0; i < count && i < 16; ++i) {
        if (GetArchiveItem(a, i, &item) == ARC_OK) ExtractArchiveItem(a, i, item.name);
        TestArchiveItem(a, i);
    }
    if (count > 16) GetArchiveItem(a, count - 1, &item);
    if (count > 0) GetArchiveItem(a, 0, &item);
    CloseArchive(a);
    // Nothing may land outside the extract folder.
    for (auto& e : fs::directory_iterator(work, ec)) {
        std::string n = Str(e.path().filename().u8string());
        if (n != "out" && n != "input.zip") __builtin_trap();
    }
}

} // namespace ziptest
