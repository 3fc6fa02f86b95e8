// fwrenew-unzip ARCHIVE FOLDER: lists and extracts an archive with the reader the updater
// itself runs, so a package maker sees exactly what the updater will extract.
// fwrenew-unzip -t ARCHIVE: reads every item through to its end and checks it, writing nothing.
//
// One line per item: index, name (control characters as \xNN), compressed size, uncompressed size,
// attributes, last write time (UTC), result code and its text. Exits 0 when every item succeeded, 1
// when any item failed, 2 when the archive could not be opened or the arguments are wrong.
#include "platform/utf8.h"
#include "package/archive.h"
#include "platform/files.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Utf8(const char16_t* text) {
    std::string out;
    AppendUtf8(out, text, std::char_traits<char16_t>::length(text));
    return out;
}

// FILETIME (UTC) as "YYYY-MM-DD hh:mm:ss".
std::string TimeText(uint64_t fileTime) {
    int64_t seconds = static_cast<int64_t>(fileTime / 10000000ull) - 11644473600ll;
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t rest = seconds - days * 86400;
    // Civil date from days since 1970-01-01.
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld",
                  static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                  static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60));
    return buf;
}

int Usage() {
    std::fprintf(stderr, "usage: fwrenew-unzip ARCHIVE FOLDER\n"
                         "       fwrenew-unzip -t ARCHIVE\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    bool testOnly = argc == 3 && std::strcmp(argv[1], "-t") == 0;
    if (argc != 3) return Usage();
    char16_t archivePath[4096];
    char16_t folder[4096];
    PlatArgToWide(testOnly ? argv[2] : argv[1], archivePath, 4096);
    PlatArgToWide(testOnly ? "" : argv[2], folder, 4096);

    ArchiveHandle* archive = OpenArchive(archivePath, nullptr);
    if (archive == nullptr) {
        ArchiveResult r = LastArchiveResult();
        std::printf("cannot open %s: 0x%X %s\n", Utf8(archivePath).c_str(), r,
                    Utf8(ArchiveResultText(r)).c_str());
        return 2;
    }
    if (!testOnly) {
        // The folder is made the way the updater makes its working folder before extracting.
        if (PlatGetFileAttributes(folder) == PLAT_INVALID_ATTRIBUTES) PlatCreateFolder(folder);
        ArchiveResult r = SetExtractFolder(archive, folder);
        if (r != ARC_OK) {
            std::printf("cannot use folder %s: 0x%X %s\n", Utf8(folder).c_str(), r,
                        Utf8(ArchiveResultText(r)).c_str());
            CloseArchive(archive);
            return 2;
        }
    }
    ArchiveItem item;
    GetArchiveItem(archive, -1, &item);
    int32_t count = item.index;
    int failed = 0;
    std::string lines;
    for (int32_t i = 0; i < count; ++i) {
        item = ArchiveItem{}; // a failed request leaves most fields alone
        ArchiveResult r = GetArchiveItem(archive, i, &item);
        if (r == ARC_OK)
            r = testOnly ? TestArchiveItem(archive, i) : ExtractArchiveItem(archive, i, item.name);
        if (r != ARC_OK) ++failed;
        char head[64];
        std::snprintf(head, sizeof head, "%d\t", i);
        lines += head;
        // Control characters in a name are shown escaped, so that each item keeps one line.
        for (char c : Utf8(item.name)) {
            if (static_cast<unsigned char>(c) < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned>(c));
                lines += esc;
            } else {
                lines += c;
            }
        }
        char tail[256];
        std::snprintf(tail, sizeof tail, "\t%d\t%d\t0x%02X\t%s\t0x%X ", item.compressedSize,
                      item.uncompressedSize, item.attributes, TimeText(item.lastWriteTime).c_str(),
                      r);
        lines += tail;
        lines += Utf8(ArchiveResultText(r));
        lines += '\n';
        if (lines.size() > 65536) {
            std::fputs(lines.c_str(), stdout);
            lines.clear();
        }
    }
    std::fputs(lines.c_str(), stdout);
    CloseArchive(archive);
    std::printf("%d items, %d failed\n", count, failed);
    return failed > 0 ? 1 : 0;
}
