#include "nvme/nvme_firmware.h"

#include "base/log.h"
#include "disk/scsi_request.h"
#include "nvme/bridge_lock.h"
#include "nvme/nvme_transport.h"
#include "platform/requests.h"
#include "platform/storage.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

std::atomic<const PlatWindow volatile*> g_progressWindow{nullptr};

void PostProgress(int32_t percent) {
    const PlatWindow volatile* slot = g_progressWindow.load();
    if (slot != nullptr) PlatPostMessage(*slot, kNvmeProgressMessage, 0, percent);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

constexpr uint32_t kChunkSize = 4096;
constexpr uint8_t kSenseBridge = 24;

// The in-box firmware requests.
constexpr uint32_t kHwFirmwareDownloadBuffer = 4136; // the request for a whole 4096-byte piece

// The RST "IntelFw " requests.
constexpr uint32_t kRstFirmwareTimeout = 200;
constexpr uint32_t kRstFirmwareControlCode = 0xF0000040u;
constexpr uint32_t kRstFirmwareBlockOffset = 32;
constexpr uint32_t kRstFirmwareDataOffset = 56;
constexpr uint32_t kRstDownloadExtra = 88; // request size = piece length + 88
constexpr uint32_t kRstActivateSize = 4184;
constexpr uint32_t kRstFunctionDownload = 2;
constexpr uint32_t kRstFunctionActivate = 3;

// Fills the SRB_IO_CONTROL header, the path bytes and the firmware request block of an
// "IntelFw " request of size bytes.
void BuildRstFirmwareHeader(uint8_t* request, uint32_t size, uint32_t pathId, uint32_t function,
                            uint32_t dataLength) {
    BuildRstHeader(request, size, "IntelFw ", kRstFirmwareTimeout, kRstFirmwareControlCode, pathId);
    FirmwareRequestBlock block;
    std::memset(&block, 0, sizeof(block));
    block.Version = kFirmwareRequestBlockVersion;
    block.Size = sizeof(FirmwareRequestBlock);
    block.Function = function;
    block.Flags = kFirmwareRequestFlagController;
    block.DataBufferOffset = kRstFirmwareDataOffset;
    block.DataBufferLength = dataLength;
    std::memcpy(request + kRstFirmwareBlockOffset, &block, sizeof(block));
}

} // namespace

void NvmeBindProgressWindow(const PlatWindow volatile* mainWindow) {
    g_progressWindow.store(mainWindow);
}

void BuildFirmwareDownloadEntry(uint8_t* entry, uint32_t offset, uint32_t length) {
    std::memset(entry, 0, kNvmeEntrySize);
    entry[0] = 0x11;
    Put32(entry + 40, (length - 1) / 4);
    Put32(entry + 44, offset / 4);
}

int32_t DownloadFW(const TransportContext* context, PlatHandle drive, const uint8_t* image,
                   uint32_t size) {
    LogDetail(u"DownloadFW IN");
    uint32_t offset = 0;
    uint32_t remaining = size;
    int32_t lastPercent = 0;
    while (remaining != 0) {
        // Steps of 10 for the bytes already sent, in 64 bits so that large images do not wrap.
        const int32_t percent =
            static_cast<int32_t>(static_cast<uint64_t>(offset) * 10 / size) * 10;
        if (percent != lastPercent) {
            LogDetail(u"DownloadFW %3d%%", percent);
            lastPercent = percent;
            PostProgress(percent);
        }
        const uint32_t length = remaining < kChunkSize ? remaining : kChunkSize;
        int32_t result;
        switch (context->iCmdType) {
        case kCmdAsmedia:
            result = IO_USB_ASM_DownloadFW(drive, offset, image, length);
            break;
        case kCmdJmicron:
            result = IO_USB_JMI_DownloadFW(drive, offset, image, length);
            break;
        case kCmdInboxNvme:
            result = IO_NVMe_DownloadFW(drive, offset, image, length);
            break;
        case kCmdRst:
            result = IO_RST_DownloadFW(context->hScsiPort, context->iPathId, offset, image, length);
            break;
        default:
            return kFwNoTransport;
        }
        if (result != kFwOk) return kFwRequestFailed;
        offset += length;
        image += length;
        remaining -= length;
    }
    LogDetail(u"DownloadFW Success OUT");
    return kFwOk;
}

int32_t IO_USB_ASM_DownloadFW(PlatHandle drive, uint32_t offset, const uint8_t* chunk,
                              uint32_t length) {
    uint8_t entry[kNvmeEntrySize];
    BuildFirmwareDownloadEntry(entry, offset, length);
    BridgeLock lock = BridgeLockAcquire(drive);
    int32_t result = kFwRequestFailed;
    const uint8_t commandCdb[16] = {0xEA, 0x5A, 0x80, 0x00, 0x02, 0,    0, 0,
                                    0,    0,    0x00, 0x00, 0x00, 0x40, 0, 0};
    if (SendScsiPassThrough(drive, commandCdb, 16, kScsiIoctlDataOut, entry, kNvmeEntrySize,
                            kSenseBridge, kPassThroughTimeoutBridge, nullptr)) {
        uint8_t dataCdb[16] = {0xEA, 0x5A, 0x81, 0x00, 0x02};
        dataCdb[10] = static_cast<uint8_t>(length >> 24);
        dataCdb[11] = static_cast<uint8_t>(length >> 16);
        dataCdb[12] = static_cast<uint8_t>(length >> 8);
        dataCdb[13] = static_cast<uint8_t>(length);
        // The request only reads the piece; the seam's buffer is not const.
        if (SendScsiPassThrough(drive, dataCdb, 16, kScsiIoctlDataOut, const_cast<uint8_t*>(chunk),
                                length, kSenseBridge, kPassThroughTimeoutBridge, nullptr)) {
            const uint8_t doneCdb[16] = {0xEB, 0x5A, 0x82, 0x00, 0x02, 0,    0, 0,
                                         0,    0,    0x00, 0x00, 0x00, 0x10, 0, 0};
            SendScsiPassThrough(drive, doneCdb, 16, kScsiIoctlDataIn, entry, 16, kSenseBridge,
                                kPassThroughTimeoutBridge, nullptr);
            result = kFwOk;
        }
    }
    BridgeLockRelease(lock);
    return result;
}

int32_t IO_USB_JMI_DownloadFW(PlatHandle drive, uint32_t offset, const uint8_t* chunk,
                              uint32_t length) {
    uint8_t block[512];
    std::memset(block, 0, sizeof(block));
    std::memcpy(block, "NVME", 4);
    BuildFirmwareDownloadEntry(block + 8, offset, length);
    BridgeLock lock = BridgeLockAcquire(drive);
    int32_t result = kFwRequestFailed;
    const uint8_t commandCdb[16] = {0xA1, 0x80, 0x00, 0x00, 0x02, 0x00};
    if (SendScsiPassThrough(drive, commandCdb, 16, kScsiIoctlDataOut, block, sizeof(block),
                            kSenseBridge, kPassThroughTimeoutBridge, nullptr)) {
        const uint8_t dataCdb[16] = {0xA1,
                                     0x83,
                                     0x00,
                                     static_cast<uint8_t>(length >> 16),
                                     static_cast<uint8_t>(length >> 8),
                                     static_cast<uint8_t>(length)};
        if (SendScsiPassThrough(drive, dataCdb, 16, kScsiIoctlDataOut, const_cast<uint8_t*>(chunk),
                                length, kSenseBridge, kPassThroughTimeoutBridge, nullptr)) {
            std::memset(block, 0, sizeof(block));
            const uint8_t doneCdb[16] = {0xA1, 0x8F, 0x00, 0x00, 0x02, 0x00};
            SendScsiPassThrough(drive, doneCdb, 16, kScsiIoctlDataIn, block, sizeof(block),
                                kSenseBridge, kPassThroughTimeoutBridge, nullptr);
            result = kFwOk;
        }
    }
    BridgeLockRelease(lock);
    return result;
}

int32_t IO_NVMe_DownloadFW(PlatHandle drive, uint32_t offset, const uint8_t* chunk,
                           uint32_t length) {
    auto* request = static_cast<uint8_t*>(PlatPageAlloc(kHwFirmwareDownloadBuffer));
    if (request == nullptr) return kFwRequestFailed;
    std::memset(request, 0, kHwFirmwareDownloadBuffer);
    StorageHwFirmwareDownload header;
    std::memset(&header, 0, sizeof(header));
    header.Version = kStorageHwFirmwareDownloadVersion;
    header.Size = length + kStorageHwFirmwareDownloadVersion;
    header.Flags = kStorageHwFirmwareRequestFlagController;
    header.Slot = 1;
    header.Offset = offset;
    header.BufferSize = length;
    std::memcpy(request, &header, offsetof(StorageHwFirmwareDownload, ImageBuffer));
    std::memcpy(request + offsetof(StorageHwFirmwareDownload, ImageBuffer), chunk, length);
    uint32_t returned = 0;
    const int32_t ok = PlatDeviceIoControl(drive, kIoctlStorageFirmwareDownload, request,
                                           header.Size, nullptr, 0, &returned);
    PlatPageFree(request);
    return ok ? kFwOk : kFwRequestFailed;
}

int32_t IO_RST_DownloadFW(PlatHandle scsiPort, uint32_t pathId, uint32_t offset,
                          const uint8_t* chunk, uint32_t length) {
    const uint32_t size = length + kRstDownloadExtra;
    auto* request = static_cast<uint8_t*>(PlatPageAlloc(size));
    if (request == nullptr) return kFwRequestFailed;
    std::memset(request, 0, size);
    BuildRstFirmwareHeader(request, size, pathId, kRstFunctionDownload,
                           length + sizeof(StorageFirmwareDownloadV2));
    StorageFirmwareDownloadV2 download;
    std::memset(&download, 0, sizeof(download));
    download.Version = kStorageFirmwareDownloadV2Version;
    download.Size = sizeof(StorageFirmwareDownloadV2);
    download.Offset = offset;
    download.BufferSize = length;
    download.Slot = 0xFF;
    download.ImageSize = 0;
    std::memcpy(request + kRstFirmwareDataOffset, &download, sizeof(download));
    std::memcpy(request + kRstDownloadExtra, chunk, length);
    uint32_t returned = 0;
    const int32_t ok =
        PlatDeviceIoControl(scsiPort, kIoctlScsiMiniport, request, size, nullptr, 0, &returned);
    PlatPageFree(request);
    return ok ? kFwOk : kFwRequestFailed;
}

int32_t FWCommit(const TransportContext* context, PlatHandle drive, uint32_t slot,
                 uint32_t action) {
    LogDetail(u"FW Commit IN");
    uint8_t entry[kNvmeEntrySize];
    std::memset(entry, 0, sizeof(entry));
    entry[0] = 0x10;
    Put32(entry + 40, slot | (action << 3));
    int32_t result;
    switch (context->iCmdType) {
    case kCmdInboxNvme:
        result = IO_NVMe_FwActivate(drive, slot, action);
        break;
    case kCmdAsmedia:
        result = IO_USB_ASM_NVMeCmd(drive, kDirNone, entry, nullptr, 0, nullptr);
        break;
    case kCmdJmicron:
        result = IO_USB_JMI_NVMeCmd(drive, kDirNone, entry, nullptr, 0, nullptr);
        break;
    case kCmdRst:
        result = IO_RST_FwActivate(context->hScsiPort, context->iPathId);
        break;
    default:
        return kFwNoTransport;
    }
    if (result == kFwOk) LogDetail(u"FW Commit Success OUT ");
    return result;
}

int32_t IO_NVMe_FwActivate(PlatHandle drive, uint32_t slot, uint32_t action) {
    StorageHwFirmwareActivate request;
    std::memset(&request, 0, sizeof(request));
    request.Version = sizeof(StorageHwFirmwareActivate);
    request.Size = sizeof(StorageHwFirmwareActivate);
    request.Flags = action == 1 ? kStorageHwFirmwareRequestFlagController
                                : kStorageHwFirmwareRequestFlagController |
                                      kStorageHwFirmwareRequestFlagSwitchToExistingFirmware;
    request.Slot = static_cast<uint8_t>(slot);
    uint32_t returned = 0;
    if (PlatDeviceIoControl(drive, kIoctlStorageFirmwareActivate, &request, sizeof(request),
                            nullptr, 0, &returned))
        return kFwOk;
    return PlatGetLastError() == kFirmwareActivateResetPending ? kFwOk : kFwRequestFailed;
}

int32_t IO_RST_FwActivate(PlatHandle scsiPort, uint32_t pathId) {
    auto* request = static_cast<uint8_t*>(PlatPageAlloc(kRstActivateSize));
    if (request == nullptr) return kFwRequestFailed;
    std::memset(request, 0, kRstActivateSize);
    BuildRstFirmwareHeader(request, kRstActivateSize, pathId, kRstFunctionActivate,
                           sizeof(StorageFirmwareActivate));
    StorageFirmwareActivate activate;
    std::memset(&activate, 0, sizeof(activate));
    activate.Version = kStorageFirmwareActivateVersion;
    activate.Size = sizeof(StorageFirmwareActivate);
    activate.SlotToActivate = 1;
    std::memcpy(request + kRstFirmwareDataOffset, &activate, sizeof(activate));
    // Two words after the activate structure, outside its data length: sent as they are.
    Put32(request + 68, 5);
    Put32(request + 72, 7);
    uint32_t returned = 0;
    const int32_t ok = PlatDeviceIoControl(scsiPort, kIoctlScsiMiniport, request, kRstActivateSize,
                                           nullptr, 0, &returned);
    PlatPageFree(request);
    return ok ? kFwOk : kFwRequestFailed;
}
