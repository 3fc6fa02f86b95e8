// The update workers and their progress.
#include "app.h"

#include "base/format.h"
#include "base/log.h"
#include "base/text.h"
#include "disk/rediscover.h"
#include "nvme/nvme_firmware.h"
#include "nvme/nvme_transport.h"
#include "nvme/power_ctrl.h"
#include "nvme/vendor_config.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/storage.h"
#include "platform/thread.h"
#include "sata/ata_transport.h"
#include "sata/image_record.h"
#include "sata/sata_firmware.h"

#include <atomic>
#include <cstring>

namespace {

// What the worker updates, copied by StartWorker before the thread exists.
UpdateJob g_job;
// The slot's value between the claim of StartWorker and the store of the thread handle.
PlatHandle const kWorkerStarting = reinterpret_cast<PlatHandle>(static_cast<uintptr_t>(1));
// Images are read whole; anything beyond this is no image of this family.
constexpr uint32_t kMaxImageBytes = 256u << 20;
// Result of an image that cannot be loaded whole, or a drive that is not the checked one.
constexpr int32_t kImageUnreadable = -4;

bool IsKeep(const char16_t* name) {
    return WCompareNoCase(name, u"KEEP") == 0;
}

// The whole image in page memory, or 0 when it is empty, too large or cannot be read whole
// (nothing is then kept).
uint32_t LoadImage(const char16_t* path, uint8_t** image) {
    *image = nullptr;
    const uint32_t size = ReadWholeFile(path, 0, nullptr);
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

// The serial number text of identify data (ANSI bytes), blanks trimmed.
void SerialText(const char* bytes, int32_t length, char16_t* out) {
    AnsiToWide(bytes, length, out, kDriveText);
    size_t end = WLen(out);
    while (end > 0 && (out[end - 1] == u' ' || out[end - 1] == 0))
        out[--end] = 0;
    size_t start = 0;
    while (out[start] == u' ')
        ++start;
    if (start) std::memmove(out, out + start, (WLen(out + start) + 1) * sizeof(char16_t));
}

bool SameSerial(const char16_t* identified, const char16_t* checked) {
    char16_t trimmed[kDriveText];
    WCopy(trimmed, checked);
    size_t end = WLen(trimmed);
    while (end > 0 && trimmed[end - 1] == u' ')
        trimmed[--end] = 0;
    const char16_t* start = trimmed;
    while (*start == u' ')
        ++start;
    return WCompare(identified, start) == 0;
}

// Is the opened drive the one OnRun checked? Another disk can take its PhysicalDrive number.
bool IsCheckedNvmeDrive(const TransportContext* context, PlatHandle drive) {
    uint8_t controller[4096] = {};
    uint8_t status = 0;
    if (NVMeIdentify(context, drive, 1, 0, controller, sizeof controller, &status) != 1 ||
        status != 0)
        return false;
    char16_t serial[kDriveText];
    SerialText(reinterpret_cast<const char*>(controller + 4), 20, serial);
    return SameSerial(serial, g_job.drive.DiskSerial);
}

bool IsCheckedSataDrive(const TransportContext* context, PlatHandle drive) {
    uint8_t identify[512] = {};
    if (AtaIdentify(context, drive, identify, sizeof identify) != 1) return false;
    char bytes[20];
    for (int i = 0; i < 20; i += 2) { // ATA strings hold two characters per word, high first
        bytes[i] = static_cast<char>(identify[20 + i + 1]);
        bytes[i + 1] = static_cast<char>(identify[20 + i]);
    }
    char16_t serial[kDriveText];
    SerialText(bytes, 20, serial);
    return SameSerial(serial, g_job.drive.DiskSerial);
}

// Finds the drive again by its port, into a local record that is published in one step.
void Rediscover(uint8_t isSata) {
    DriveInfo record = g_job.drive;
    GetDiskInfoByPortID(&record, 10, isSata);
    SelDrivePublish(record);
}

} // namespace

void SetProgressRange(int32_t low, int32_t high, int32_t position) {
    std::atomic_ref<int16_t>(g_App.nProgressLow).store(static_cast<int16_t>(low));
    std::atomic_ref<int16_t>(g_App.nProgressHigh).store(static_cast<int16_t>(high));
    PlatSendMessage(g_App.hMainDlg, WM_UPDATE_PROGRESS, 0, position);
}

void WaitWithProgress(uint32_t total) {
    if (total == 0) return;
    uint32_t remaining = total;
    while (remaining > 1000) {
        PlatSleep(1000);
        remaining -= 1000;
        PlatPostMessage(g_App.hMainDlg, WM_UPDATE_PROGRESS, 0,
                        static_cast<intptr_t>((total - remaining) * 100u / total));
    }
    if (remaining > 0) {
        PlatSleep(remaining);
        PlatSendMessage(g_App.hMainDlg, WM_UPDATE_PROGRESS, 0, 100);
    }
}

int32_t StartWorker(PlatWindow /*window*/, PlatHandle* slot, WorkerProc proc, const UpdateJob* job) {
    std::atomic_ref<PlatHandle> published(*slot);
    PlatHandle expected = nullptr;
    // The slot is claimed before the thread exists, so that a worker that ends at once cannot
    // clear it before its handle is stored.
    if (!published.compare_exchange_strong(expected, kWorkerStarting)) {
        LogDetail(u"Thread is Running");
        return 0;
    }
    g_job = *job;
    PlatHandle thread = PlatCreateThread(proc, slot);
    if (thread == nullptr) {
        published.store(nullptr);
        return 0;
    }
    expected = kWorkerStarting;
    // When the worker has already finished (and cleared the slot), its handle is ours to close.
    if (!published.compare_exchange_strong(expected, thread)) PlatCloseThread(thread);
    return 1;
}

int32_t FinishWorker(PlatHandle* slot, TransportContext* context, PlatHandle drive, int32_t result) {
    if (drive != PLAT_INVALID_HANDLE && drive != nullptr) PlatDeviceClose(drive);
    if (context->hScsiPort != PLAT_INVALID_HANDLE && context->hScsiPort != nullptr)
        PlatDeviceClose(context->hScsiPort);
    context->hScsiPort = PLAT_INVALID_HANDLE;
    // The slot is free (and its thread handle closed) before the dialog hears of the end, so
    // that a close or RUN right after the completion is never refused.
    PlatHandle thread = std::atomic_ref<PlatHandle>(*slot).exchange(nullptr);
    if (thread != nullptr && thread != kWorkerStarting) PlatCloseThread(thread);
    PlatPostMessage(g_App.hMainDlg, WM_UPDATE_DONE, 0, result);
    return result;
}

uint32_t NvmeUpdateWorker(void* slotArgument) {
    auto* slot = static_cast<PlatHandle*>(slotArgument);
    TransportContext context{};
    context.hScsiPort = PLAT_INVALID_HANDLE;
    auto finish = [&](PlatHandle drive, int32_t r) {
        return static_cast<uint32_t>(FinishWorker(slot, &context, drive, r));
    };
    PlatHandle drive = ClassifyNvmeTransport(g_job.drive.DevicePath, &context);
    if (drive == PLAT_INVALID_HANDLE) return finish(drive, kFwOpenFailed);
    if (context.iCmdType != g_job.drive.iCmdType || !IsCheckedNvmeDrive(&context, drive))
        return finish(drive, kFwOpenFailed);

    uint8_t* image = nullptr;
    const uint32_t size = LoadImage(g_job.szImagePath, &image);
    if (size == 0) return finish(drive, kImageUnreadable);

    VendorConfigRecord block;
    if (g_job.drive.bVendorInfo) {
        int32_t r = ReadVendorConfigRecord(&context, drive, block.bytes);
        if (r == 1) r = MergeVendorConfigIntoImage(image, size, &block, g_App.szNewVersion);
        if (r != 1) {
            PlatPageFree(image);
            return finish(drive, r);
        }
    }
    SetProgressRange(0, 30, 0);
    int32_t r = DownloadFW(&context, drive, image, size);
    PlatPageFree(image);
    if (r != 1) return finish(drive, r);
    SetProgressRange(30, 40, 0);
    WaitWithProgress(3000);
    SetProgressRange(40, 60, 0);
    r = FWCommit(&context, drive, 1, 1);
    if (r != 1) return finish(drive, r);
    WaitWithProgress(3000);

    if (!IsKeep(g_App.szNewVersion)) {
        if (g_job.drive.bVendorInfo) {
            r = ReadVendorConfigRecord(&context, drive, block.bytes);
            if (r != 1) return finish(drive, r);
            uint32_t crc = 0;
            if (SetVendorFwName(&block, g_App.szNewVersion, &crc) == 1) {
                r = WriteVendorConfigRecord(&context, drive, block.bytes, crc);
                if (r != 1) return finish(drive, r);
            }
        } else {
            r = WriteVendorFwName(&context, drive, g_App.szNewVersion);
            if (r != 1) return finish(drive, r);
        }
    }

    SetProgressRange(60, 80, 0);
    if (context.iCmdType == kCmdAsmedia) {
        IO_USB_ASM_PowerCtrl(drive, 1);
        WaitWithProgress(3000);
    } else if (context.iCmdType == kCmdJmicron) {
        IO_USB_JMI_PowerCtrl(drive, 5);
        WaitWithProgress(3000);
    }
    SetProgressRange(80, 100, 0);
    Rediscover(0);
    SetProgressRange(100, 100, 0);
    RefreshDriveList(g_App.hMainDlg, 0);
    return finish(drive, 1);
}

uint32_t SataUpdateWorker(void* slotArgument) {
    auto* slot = static_cast<PlatHandle*>(slotArgument);
    TransportContext context{};
    context.hScsiPort = PLAT_INVALID_HANDLE;
    auto finish = [&](PlatHandle drive, int32_t r) {
        return static_cast<uint32_t>(FinishWorker(slot, &context, drive, r));
    };
    PlatHandle drive = ClassifySataTransport(g_job.drive.DevicePath, &context);
    if (drive == PLAT_INVALID_HANDLE) return finish(drive, kFwOpenFailed);
    if (context.iCmdType != g_job.drive.iCmdType || !IsCheckedSataDrive(&context, drive))
        return finish(drive, kFwOpenFailed);

    uint8_t* image = nullptr;
    const uint32_t size = LoadImage(g_job.szImagePath, &image);
    if (size == 0) return finish(drive, kImageUnreadable);
    SetProgressRange(0, 40, 0);
    int32_t r = DISKLIB_SATA_FwRenew(&context, drive, image, size); // releases the image
    if (r != 1) return finish(drive, r);
    SetProgressRange(40, 60, 0);
    WaitWithProgress(3000);
    if (!IsKeep(g_App.szNewVersion)) {
        VendorConfigRecord block;
        r = ReadSataConfigRecord(&context, drive, &block);
        if (r != 1) return finish(drive, r);
        if (SetVendorFwName(&block, g_App.szNewVersion, nullptr) == 1) {
            r = WriteSataConfigRecord(&context, drive, &block);
            if (r != 1) return finish(drive, r);
        }
    }
    SetProgressRange(80, 100, 0);
    Rediscover(1);
    SetProgressRange(100, 100, 0);
    RefreshDriveList(g_App.hMainDlg, 0);
    return finish(drive, 1);
}
