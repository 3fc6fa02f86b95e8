#include "sata/sata_firmware.h"

#include "base/log.h"
#include "platform/clock.h"
#include "platform/storage.h"
#include "sata/ata_transport.h"

#include <atomic>
#include <cstring>

namespace {

constexpr uint32_t kSegmentBytes = 4096;
constexpr uint32_t kBlockBytes = 512;
constexpr uint8_t kDownloadMicrocode = 0x92;
constexpr uint8_t kDownloadWithOffsetsSaveAndUse = 3;
constexpr uint8_t kVendorRead = 0xC3;
constexpr uint8_t kVendorWrite = 0xC2;
constexpr uint8_t kVendorReadConfigRecord = 2;
constexpr uint8_t kVendorWriteConfigRecord = 1;

std::atomic<const PlatWindow volatile*> g_progressWindow{nullptr};

void PostProgress(intptr_t percent) {
    const PlatWindow volatile* slot = g_progressWindow.load();
    if (slot != nullptr) PlatPostMessage(*slot, kSataProgressMessage, 0, percent);
}

int32_t SendSegment(int32_t iCmdType, PlatHandle drive, uint64_t blockOffset, uint8_t* segment,
                    uint32_t length) {
    // Sector Count = blocks in the segment, LBA Low = 0, LBA Mid/High = the block offset.
    const uint64_t lba = blockOffset << 8;
    return AtaCmd(iCmdType, drive, kDownloadMicrocode, kDownloadWithOffsetsSaveAndUse,
                  kAtaDrdyRequired | kAtaDataOut, static_cast<uint32_t>(lba),
                  static_cast<uint32_t>(lba >> 32), segment, length);
}

int32_t Release(uint8_t* image, int32_t result) {
    if (image != nullptr) PlatPageFree(image);
    return result;
}

} // namespace

void SataBindProgressWindow(const PlatWindow volatile* mainWindow) {
    g_progressWindow.store(mainWindow);
}

int32_t DISKLIB_SATA_FwRenew(const TransportContext* context, PlatHandle drive, uint8_t* image,
                             uint32_t size) {
    if (size == 0) return Release(image, kFwOk);
    if (context == nullptr) return Release(image, kFwNoTransport);
    if (image == nullptr) return kFwRequestFailed;
    // The block offset travels in 16 bits and the block count drops a partial block: refuse
    // what the drive could only receive wrapped or cut, before anything is sent.
    if (size > kSataMaxImageBytes) {
        LogLine(u"DISKLIB_SATA_FwRenew Error, image of %I64d bytes is over %I64d bytes",
                static_cast<int64_t>(size), static_cast<int64_t>(kSataMaxImageBytes));
        return Release(image, kFwRequestFailed);
    }
    if (size % kBlockBytes != 0) {
        LogLine(u"DISKLIB_SATA_FwRenew Error, image of %I64d bytes is not whole 512-byte blocks",
                static_cast<int64_t>(size));
        return Release(image, kFwRequestFailed);
    }
    uint64_t sent = 0;
    uint64_t blockOffset = 0;
    int32_t lastPercent = 0;
    while (sent < size) {
        const int32_t percent = static_cast<int32_t>(sent * 10 / size * 10);
        if (percent != lastPercent) {
            LogDetail(u"DownloadFW %3d%%", percent);
            lastPercent = percent;
            PostProgress(percent);
        }
        const uint64_t left = size - sent;
        const uint32_t length = static_cast<uint32_t>(left < kSegmentBytes ? left : kSegmentBytes);
        uint8_t* segment = image + sent;
        if (SendSegment(context->iCmdType, drive, blockOffset, segment, length) != 1) {
            PlatSleep(100);
            LogDetail(u"DISKLIB_SATA_FwRenew Error, Retry 1");
            if (SendSegment(context->iCmdType, drive, blockOffset, segment, length) != 1) {
                PlatSleep(100);
                LogDetail(u"DISKLIB_SATA_FwRenew Error, Retry 2");
                if (SendSegment(context->iCmdType, drive, blockOffset, segment, length) != 1)
                    return Release(image, kFwRequestFailed);
            }
        }
        PlatSleep(10);
        blockOffset += length / kBlockBytes;
        sent += length;
    }
    return Release(image, kFwOk);
}

int32_t ReadSataConfigRecord(const TransportContext* context, PlatHandle drive,
                             VendorConfigRecord* record) {
    std::memset(record->bytes, 0, sizeof(record->bytes));
    const int32_t r =
        AtaCmd(context->iCmdType, drive, kVendorRead, kVendorReadConfigRecord,
               kAtaDrdyRequired | kAtaDataIn, 0, 0, record->bytes, sizeof(record->bytes));
    if (r != 1) return r;
    for (uint8_t b : record->bytes)
        if (b != 0) return r;
    LogLine(u"Config record read back all zero");
    return 0;
}

int32_t WriteSataConfigRecord(const TransportContext* context, PlatHandle drive,
                              VendorConfigRecord* record) {
    return AtaCmd(context->iCmdType, drive, kVendorWrite, kVendorWriteConfigRecord,
                  kAtaDrdyRequired | kAtaDataOut, 0, 0, record->bytes, sizeof(record->bytes));
}
