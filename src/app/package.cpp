// Package start-up: the working folder, the embedded package and the configuration file.
#include "app.h"

#include "base/format.h"
#include "base/log.h"
#include "base/text.h"
#include "package/archive.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/profile.h"
#include "platform/resources.h"

#include <cstring>

namespace {

PlatHandle g_workDirHold = PLAT_INVALID_HANDLE;

// Tries for a working-folder name that nobody else has taken.
constexpr int32_t kWorkDirTries = 100;
// The stored list forms add two semicolons to a value of at most this many units.
constexpr size_t kListValueLimit = 257;
// Message values: the working size of the "<BR>" rewrite.
constexpr size_t kMessageLimit = 999;
constexpr char16_t kSection[] = u"UPDATEINFO";

// Creates the working folder under the base folder: a new folder (never an existing name),
// held until CleanWorkingFolder. 0 when the folders are refused or a path would be cut.
int32_t CreateWorkingFolder() {
    char16_t temp[260];
    if (!GetTempFolder(temp, 260)) return 0;
    char16_t base[260];
    if (FormatInto(base, u"%s\\FwRenew", temp) < 0) return 0;
    if (PlatIsLink(base)) {
        LogLine(u"Refused folder (link): %s", base);
        return 0;
    }
    if (!PathExists(base)) PlatCreateFolder(base);
    if (!PlatIsFolder(base)) return 0;
    uint64_t tick = PlatGetTickCount64();
    for (int32_t i = 0; i < kWorkDirTries; ++i) {
        char16_t work[260];
        if (FormatInto(work, u"%s\\%I64d", base, static_cast<int64_t>(tick + static_cast<uint64_t>(i))) < 0)
            return 0;
        int32_t existed = 0;
        PlatHandle hold = PlatCreatePrivateFolder(work, &existed);
        if (hold != PLAT_INVALID_HANDLE) {
            g_workDirHold = hold;
            WCopy(g_App.szWorkDir, work);
            return 1;
        }
        if (!existed) return 0;
    }
    return 0;
}

// Reads a text value into buffer (cap units) with a read size of readSize.
void ReadText(const char16_t* key, const char16_t* fallback, char16_t* buffer, uint32_t readSize,
              const char16_t* ini) {
    PlatGetPrivateProfileString(kSection, key, fallback, buffer, readSize, ini);
}

} // namespace

PlatHandle WorkingFolderHold() {
    return g_workDirHold;
}

void ReleaseWorkingFolder() {
    PlatReleaseFolder(g_workDirHold);
    g_workDirHold = PLAT_INVALID_HANDLE;
}

int32_t GetTempFolder(char16_t* buffer, size_t size) {
    buffer[0] = 0;
    uint32_t n = PlatGetTempFolder(buffer, static_cast<uint32_t>(size));
    if (n == 0 || n >= size) {
        buffer[0] = 0;
        return 0;
    }
    if (buffer[n - 1] == u'\\' || buffer[n - 1] == u'/') buffer[n - 1] = 0;
    return 1;
}

int32_t PathExists(const char16_t* path) {
    if (path == nullptr || path[0] == 0) return 0;
    PlatFindData found{};
    PlatHandle search = PlatFindFirst(path, &found);
    if (search == PLAT_INVALID_HANDLE) return 0;
    PlatFindClose(search);
    return 1;
}

int32_t WriteWholeFile(const char16_t* path, const void* bytes, uint32_t count) {
    PlatHandle file = PlatFileCreate(path, PLAT_ATTR_NORMAL);
    if (file == PLAT_INVALID_HANDLE) return 0;
    uint32_t done = 0;
    int32_t ok = PlatFileWrite(file, bytes, count, &done) && done == count;
    PlatFileClose(file);
    return ok ? 1 : 0;
}

uint32_t ReadWholeFile(const char16_t* path, uint32_t count, void* buffer) {
    PlatHandle file = PlatFileOpenRead(path);
    if (file == PLAT_INVALID_HANDLE) return 0;
    uint32_t result = 0;
    if (buffer == nullptr) {
        int64_t size = PlatFileSize(file);
        result = size < 0 ? 0 : static_cast<uint32_t>(size);
    } else {
        // One read may return less than asked; go on until the count or the end.
        auto* out = static_cast<uint8_t*>(buffer);
        while (result < count) {
            uint32_t done = 0;
            if (!PlatFileRead(file, out + result, count - result, &done) || done == 0) break;
            result += done;
        }
    }
    PlatFileClose(file);
    return result;
}

void ReplaceAll(char16_t* text, size_t cap, const char16_t* pattern, const char16_t* replacement) {
    constexpr size_t kWork = 1000;
    const size_t patternLen = WLen(pattern);
    if (patternLen == 0) return;
    char16_t work[kWork];
    char16_t result[kWork];
    WCopy(work, text);
    if (WFind(work, pattern) == nullptr) return;
    WCopy(result, work);
    while (const char16_t* hit = WFind(work, pattern)) {
        const size_t at = static_cast<size_t>(hit - work);
        result[0] = 0;
        std::memcpy(result, work, at * sizeof(char16_t));
        result[at] = 0;
        WAppend(result, replacement);
        WAppend(result, hit + patternLen);
        WCopy(work, result);
    }
    WCopy(text, cap, result);
}

void StoreList(char16_t* list, const char16_t* value) {
    list[0] = 0;
    size_t len = WLen(value);
    if (len == 0) return;
    char16_t items[260];
    WCopy(items, value);
    if (len > kListValueLimit) {
        // Keep whole items only: cutting ";R1.0.23" to ";R1.0" would admit a revision that the
        // package never named.
        size_t keep = 0;
        if (value[kListValueLimit] == u';') {
            keep = kListValueLimit;
        } else {
            for (size_t i = kListValueLimit; i > 0; --i)
                if (value[i - 1] == u';') {
                    keep = i - 1;
                    break;
                }
        }
        items[keep] = 0;
    }
    Format(list, 260, u";%s;", items);
}

void UnzipAll(const char16_t* archive, const char16_t* folder, int32_t deleteArchive) {
    PlatCreateFolder(folder);
    ArchiveHandle* handle = OpenArchive(archive, nullptr);
    if (handle != nullptr) {
        SetExtractFolder(handle, folder);
        ArchiveItem item{};
        if (GetArchiveItem(handle, -1, &item) == ARC_OK) {
            const int32_t count = item.index;
            for (int32_t i = 0; i < count; ++i) {
                ArchiveItem each{};
                if (GetArchiveItem(handle, i, &each) != ARC_OK) continue;
                ExtractArchiveItem(handle, i, each.name);
            }
        }
        CloseArchive(handle);
    }
    if (deleteArchive) PlatDeleteFile(archive);
}

void ExtractPackage(const char16_t* type, uint32_t id, const char16_t* folder) {
    const void* bytes = nullptr;
    uint32_t size = 0;
    if (!PlatFindResource(type, id, &bytes, &size)) return;
    // The archive is written inside the working folder, which only this run can write to, so
    // that nothing can swap it between writing and extraction.
    char16_t archive[260];
    if (FormatInto(archive, u"%s\\~ReleasePackage.a", folder) < 0) return;
    if (!WriteWholeFile(archive, bytes, size)) {
        PlatDeleteFile(archive);
        return;
    }
    UnzipAll(archive, folder, 1);
}

int32_t StartPackage(PlatWindow window) {
    WCopy(g_App.szTitle, u"Package Error");
    if (!CreateWorkingFolder()) {
        g_App.szWorkDir[0] = 0;
        PlatSetWindowTitle(window, g_App.szTitle);
        return 0;
    }
    ExtractPackage(kPackageResourceType, IDR_PACKAGE, g_App.szWorkDir);
    char16_t ini[260];
    if (FormatInto(ini, u"%s\\FwRenewInfo.ini", g_App.szWorkDir) < 0) {
        PlatSetWindowTitle(window, g_App.szTitle);
        return 0;
    }
    ReadText(u"TITLE", u"Package Error", g_App.szTitle, 260, ini);
    PlatSetWindowTitle(window, g_App.szTitle);
    ReadText(u"SOCID", u"", g_App.szSocId, 64, ini);
    // Lists and messages are read with room to spare, so that an over-long value is seen as
    // such and bounded here rather than cut blindly.
    char16_t value[1024];
    ReadText(u"ModelName", u"", value, 1024, ini);
    StoreList(g_App.szModelList, value);
    ReadText(u"FWVersion", u"", value, 1024, ini);
    StoreList(g_App.szFwVersionList, value);
    ReadText(u"NEWVERSION", u"", g_App.szNewVersion, 64, ini);
    g_App.iInternalFWVersionCheckPart =
        static_cast<int32_t>(PlatGetPrivateProfileInt(kSection, u"iInternalFWVersionCheckPart", 3, ini));
    g_App.bIsSATA = static_cast<int32_t>(PlatGetPrivateProfileInt(kSection, u"bIsSATA", 0, ini));
    ReadText(u"BeforeMessage", u"", g_App.szBeforeMessage, kMessageLimit + 1, ini);
    ReplaceAll(g_App.szBeforeMessage, 1024, u"<BR>", u"\r\n");
    ReadText(u"AfterMessage", u"", g_App.szAfterMessage, kMessageLimit + 1, ini);
    ReplaceAll(g_App.szAfterMessage, 1024, u"<BR>", u"\r\n");
    g_App.byPowerCtrl =
        static_cast<uint8_t>(PlatGetPrivateProfileInt(kSection, u"PowerCtrl", 0, ini) & 0xFF);
    return 1;
}
