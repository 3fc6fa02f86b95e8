// The checks before an update, the confirmation and the start of the worker.
#include "app.h"

#include "base/format.h"
#include "base/log.h"
#include "base/text.h"
#include "disk/nand.h"
#include "disk/rediscover.h"
#include "platform/storage.h"

#include <cstring>

namespace {

// Images are read whole; anything beyond this is no image of this family.
constexpr uint32_t kMaxImageBytes = 256u << 20;

// The whole image file in page memory: its size, or 0 (nothing kept) when it is empty, too
// large, or cannot be read whole.
uint32_t LoadImage(const char16_t* path, uint8_t** image) {
    *image = nullptr;
    uint32_t size = ReadWholeFile(path, 0, nullptr);
    if (size == 0 || size > kMaxImageBytes) return 0;
    auto* memory = static_cast<uint8_t*>(PlatPageAlloc(size));
    if (memory == nullptr) return 0;
    if (ReadWholeFile(path, size, memory) != size) {
        PlatPageFree(memory);
        return 0;
    }
    *image = memory;
    return size;
}

bool IsAsciiLetterOrDigit(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void Refuse(PlatWindow window) {
    PlatMessageBox(window, u"Do not need to update.", g_App.szTitle, PLAT_MB_OK);
}

} // namespace

int32_t FindFirmwareFile(const DriveInfo* record, char16_t* path, size_t cap) {
    char16_t name[kDriveText];
    NandTypeName(record->iNandType, name);
    if (Format(path, cap, u"%s\\%s_%d.fw", g_App.szWorkDir, name,
               static_cast<int32_t>(record->iLunCount)) >= 0 &&
        PathExists(path))
        return 1;
    if (Format(path, cap, u"%s\\%s_0.fw", g_App.szWorkDir, name) >= 0 && PathExists(path))
        return 1;
    path[0] = 0;
    return 0;
}

int32_t ReadImageVersion(const char16_t* imagePath, char16_t* version, size_t cap) {
    version[0] = 0;
    uint8_t* image = nullptr;
    const uint32_t size = LoadImage(imagePath, &image);
    if (size == 0) return 0;
    char found[9] = {};
    bool ok = false;
    uint32_t position = 0;
    while (position < size) {
        const void* dot = std::memchr(image + position, '.', size - position);
        if (dot == nullptr) break;
        const uint32_t dotAt = static_cast<uint32_t>(static_cast<const uint8_t*>(dot) - image);
        // The candidate starts one byte before the dot; bytes outside the image end it.
        const int64_t start = static_cast<int64_t>(dotAt) - 1;
        int dots = 0;
        bool previousDot = false;
        for (int64_t k = start; k < start + 8; ++k) {
            if (k < 0 || k >= static_cast<int64_t>(size)) break;
            const uint8_t c = image[k];
            if (c == '.') {
                if (previousDot) break;
                ++dots;
                previousDot = true;
            } else if (IsAsciiLetterOrDigit(c)) {
                previousDot = false;
            } else {
                break;
            }
        }
        if (dots == 3) {
            for (int k = 0; k < 8; ++k) {
                const int64_t at = start + k;
                const char c = at >= 0 && at < static_cast<int64_t>(size) ? static_cast<char>(image[at]) : 0;
                found[k] = c;
                if (c == 0) break;
            }
            ok = true;
            break;
        }
        position = static_cast<uint32_t>(start + 8 < 0 ? 0 : start + 8);
        if (position <= dotAt) position = dotAt + 1;
    }
    PlatPageFree(image);
    if (!ok) return 0;
    Format(version, cap, u"%S", found);
    return 1;
}

uint32_t ReadImageFtlBuildNum(const char16_t* imagePath) {
    uint8_t* image = nullptr;
    const uint32_t size = LoadImage(imagePath, &image);
    if (size == 0) return 0;
    uint32_t result = 0;
    if (size >= 40 && std::memcmp(image, "CMFG", 4) == 0) {
        const uint32_t last = static_cast<uint32_t>(image[36] | image[37] << 8 | image[38] << 16 |
                                                    static_cast<uint32_t>(image[39]) << 24);
        const uint64_t at = (static_cast<uint64_t>(last) + 2) * 4096 - 8;
        if (at + 4 <= size)
            result = static_cast<uint32_t>(image[at] | image[at + 1] << 8 | image[at + 2] << 16 |
                                           static_cast<uint32_t>(image[at + 3]) << 24);
    }
    PlatPageFree(image);
    return result;
}

int32_t CheckInternalVersion(const char16_t* driveVersion, int32_t parts, const char16_t* imagePath) {
    char16_t image[33];
    if (!ReadImageVersion(imagePath, image, 33)) {
        LogLine(u"DrvInfoVersion = %s, BinFWVersion = %s, iCheckPart = %d", driveVersion, u"", parts);
        return 0;
    }
    char16_t drive[33];
    WCopy(drive, driveVersion);
    int32_t dots = 0;
    for (int32_t i = 0; i < 8 && drive[i] != 0; ++i) {
        if (drive[i] == u'.') ++dots;
        if (dots == parts) {
            drive[i] = 0;
            image[i] = 0;
            break;
        }
    }
    if (WCompare(drive, image) == 0) return 1;
    LogLine(u"DrvInfoVersion = %s, BinFWVersion = %s, iCheckPart = %d", driveVersion, image, parts);
    return 0;
}

void OnRun(PlatWindow window) {
    const int32_t line = PlatListGetSelection(window, IDC_DRIVE_COMBO);
    if (line < 0) return; // no selected line: nothing to check
    const intptr_t index = PlatListGetData(window, IDC_DRIVE_COMBO, line);
    // The "- Disconnect" line names no record: there is no drive to update.
    if (index < 0 || index >= static_cast<intptr_t>(g_App.nDriveCount)) return;

    UpdateJob job{};
    job.drive = g_App.aDrives[index];
    GetDiskInfoByPortID(&job.drive, 30, static_cast<uint8_t>(g_App.bIsSATA != 0));
    SelDrivePublish(job.drive);
    const DriveInfo& drive = job.drive;

    if (g_App.szFwVersionList[0] != 0) {
        char16_t item[kDriveText + 2];
        Format(item, kDriveText + 2, u";%s;", drive.DiskFwVersion);
        if (!ContainsNoCase(g_App.szFwVersionList, item)) {
            LogLine(u"Limit FW Versoin : %s (disk Version : %s)", g_App.szFwVersionList, item);
            Refuse(window);
            return;
        }
    }
    if (!FindFirmwareFile(&drive, job.szImagePath, 260)) {
        LogLine(u"No this fw, 0x%04X, %d", drive.iNandType, static_cast<int32_t>(drive.iLunCount));
        Refuse(window);
        return;
    }
    if (drive.DrvInfoVersion[0] != 0 &&
        !CheckInternalVersion(drive.DrvInfoVersion, g_App.iInternalFWVersionCheckPart, job.szImagePath)) {
        LogLine(u"Limit Drv FW Version : %s", drive.DrvInfoVersion);
        Refuse(window);
        return;
    }
    if (drive.bVendorInfo) {
        const uint32_t imageBuild = ReadImageFtlBuildNum(job.szImagePath);
        if (drive.iFtlBuildNum != imageBuild) {
            LogLine(u"Limit iFtlBuildNum : 0x%08X, 0x%08X", drive.iFtlBuildNum, imageBuild);
            Refuse(window);
            return;
        }
    }
    if (g_App.szBeforeMessage[0] != 0 &&
        PlatMessageBox(window, g_App.szBeforeMessage, g_App.szTitle,
                       PLAT_MB_YESNO | PLAT_MB_ICONWARNING) != PLAT_IDYES)
        return;
    PlatSetItemText(window, IDC_STATUS, u"");
    PlatEnableItem(window, IDC_RUN, 0);
    PlatEnableItem(window, IDC_DRIVE_COMBO, 0);
    StartWorker(window, &g_App.hWorkerThread, g_App.bIsSATA ? SataUpdateWorker : NvmeUpdateWorker, &job);
}
