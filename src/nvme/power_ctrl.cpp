#include "nvme/power_ctrl.h"

#include "base/log.h"
#include "disk/scsi_request.h"
#include "disk/transport.h"
#include "nvme/bridge_lock.h"

#include <cstring>

namespace {
constexpr uint8_t kSenseBridge = 24;
constexpr uint32_t kControlModeOffset = 72;
} // namespace

int32_t IO_USB_ASM_PowerCtrl(PlatHandle drive, uint8_t mode) {
    LogDetail(u"IO_USB_ASM_PowerCtrl IN %d", static_cast<int32_t>(mode));
    const uint8_t cdb[16] = {0xEA, 0x5A, mode};
    BridgeLock lock = BridgeLockAcquire(drive);
    const int32_t ok = SendScsiPassThrough(drive, cdb, 16, kScsiIoctlDataOut, nullptr, 0,
                                           kSenseBridge, kPassThroughTimeoutBridge, nullptr);
    BridgeLockRelease(lock);
    if (!ok) return kFwRequestFailed;
    LogDetail(u"IO_USB_ASM_PowerCtrl Success OUT ");
    return kFwOk;
}

int32_t IO_USB_JMI_PowerCtrl(PlatHandle drive, uint8_t mode) {
    LogDetail(u"IO_USB_JMI_PowerCtrl IN %d", static_cast<int32_t>(mode));
    uint8_t block[512];
    std::memset(block, 0, sizeof(block));
    std::memcpy(block, "NVME", 4);
    block[kControlModeOffset] = mode;
    BridgeLock lock = BridgeLockAcquire(drive);
    int32_t result = kFwRequestFailed;
    const uint8_t commandCdb[16] = {0xA1, 0x80, 0x00, 0x00, 0x02, 0x00};
    if (SendScsiPassThrough(drive, commandCdb, 16, kScsiIoctlDataOut, block, sizeof(block),
                            kSenseBridge, kPassThroughTimeoutBridge, nullptr)) {
        std::memset(block, 0, sizeof(block));
        const uint8_t dataCdb[16] = {0xA1, 0x81, 0x00, 0x00, 0x00, 0x00};
        if (SendScsiPassThrough(drive, dataCdb, 16, kScsiIoctlDataIn, block, 0, kSenseBridge,
                                kPassThroughTimeoutBridge, nullptr)) {
            std::memset(block, 0, sizeof(block));
            const uint8_t doneCdb[16] = {0xA1, 0x8F, 0x00, 0x00, 0x02, 0x00};
            SendScsiPassThrough(drive, doneCdb, 16, kScsiIoctlDataIn, block, sizeof(block),
                                kSenseBridge, kPassThroughTimeoutBridge, nullptr);
            result = kFwOk;
        }
    }
    BridgeLockRelease(lock);
    if (result == kFwOk) LogDetail(u"IO_USB_JMI_PowerCtrl Success OUT");
    return result;
}
