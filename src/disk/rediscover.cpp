#include "disk/rediscover.h"

#include "base/format.h"
#include "base/log.h"
#include "base/text.h"
#include "disk/disk_queries.h"
#include "disk/enumerate.h"
#include "disk/port_location.h"
#include "disk/transport.h"
#include "platform/clock.h"
#include "platform/devtree.h"
#include "platform/requests.h"
#include "platform/storage.h"

#include <atomic>

namespace {

std::atomic<const PlatWindow volatile*> g_progressWindow{nullptr};

constexpr uint32_t kInterfaceFlags = kDigcfPresent | kDigcfProfile | kDigcfDeviceInterface;
constexpr uint32_t kRetryPauseMs = 1000;

// Whether a disk of this storage bus type can be a drive of this transport: the bus type of
// a drive does not change when it leaves and comes back.
bool BusTypeFits(int32_t iCmdType, uint32_t busType) {
    switch (iCmdType) {
    case kCmdAsmedia:
    case kCmdJmicron:
    case kCmdSataUsb:
        return busType == kBusTypeUsb;
    case kCmdInboxNvme:
        return busType == kBusTypeNvme;
    case kCmdRst:
        return busType == kBusTypeNvme || busType == kBusTypeRaid;
    case kCmdSata:
        return busType == kBusTypeSata;
    case kCmdSataScsi:
        return busType == kBusTypeScsi || busType == kBusTypeIScsi || busType == kBusTypeSas;
    default:
        return true;
    }
}

// The location of member index of the disk set by the rule of iCmdType; false when the
// member has none. A location alone does not tell disks of different kinds apart (a SCSI
// path id is only unique on its adapter; a disk without bus numbers or USB chain has location
// 0), so only a disk whose bus type fits the transport is a candidate: a search never returns
// a disk of another kind.
bool CandidateLocation(PlatDevInfoSet set, uint32_t index, int32_t iCmdType, uint64_t* location) {
    PlatHandle disk = OpenDiskInterface(&kGuidDevInterfaceDisk, index);
    if (disk == PLAT_INVALID_HANDLE) return false;
    uint32_t busType = 0;
    bool ok = QueryBusType(disk, &busType) && BusTypeFits(iCmdType, busType);
    if (ok && (iCmdType == kCmdSata || iCmdType == kCmdSataScsi)) {
        uint8_t pathId = 0;
        ok = QueryScsiPathId(disk, &pathId);
        *location = pathId;
    }
    PlatDeviceClose(disk);
    if (ok && iCmdType != kCmdSata && iCmdType != kCmdSataScsi)
        *location =
            PortLocationOfDiskNode(iCmdType, InterfaceDevInst(set, &kGuidDevInterfaceDisk, index));
    return ok;
}

void PostProgress(intptr_t percent) {
    const PlatWindow volatile* slot = g_progressWindow.load();
    if (slot != nullptr) PlatPostMessage(*slot, kDiskProgressMessage, 0, percent);
}

} // namespace

void DiskBindProgressWindow(const PlatWindow volatile* mainWindow) {
    g_progressWindow.store(mainWindow);
}

PlatHandle FindDiskByPort(int32_t iCmdType, uint64_t iPort) {
    uint32_t index = 0;
    return FindDiskByPortFrom(iCmdType, iPort, &index);
}

PlatHandle FindDiskByPortFrom(int32_t iCmdType, uint64_t iPort, uint32_t* index) {
    PlatDevInfoSet set = PlatDevGetClassDevs(&kGuidDevInterfaceDisk, kInterfaceFlags);
    if (set == PLAT_INVALID_HANDLE) return PLAT_INVALID_HANDLE;
    PlatHandle found = PLAT_INVALID_HANDLE;
    for (uint32_t i = *index; PlatDevEnumInterface(set, &kGuidDevInterfaceDisk, i) == 1; ++i) {
        uint64_t candidate = 0;
        if (CandidateLocation(set, i, iCmdType, &candidate) && candidate == iPort) {
            found = OpenDiskInterface(&kGuidDevInterfaceDisk, i);
            if (found == PLAT_INVALID_HANDLE) continue;
            *index = i;
            break;
        }
    }
    PlatDevDestroyList(set);
    return found;
}

int32_t GetDiskInfoByPortID(DriveInfo* record, int32_t attempts, uint8_t bIsSATA) {
    const int32_t iCmdType = record->iCmdType;
    const uint64_t iPort = record->iPort;
    LogDetail(u"GetDiskInfoByPortID IN, iCmdType = %d, iPort=%I64d", iCmdType, iPort);
    for (int32_t i = 1; i <= attempts; ++i) {
        // Every disk at the location is probed in turn until one is the drive itself: the
        // location alone may be shared (two adapters whose drives have path id 1; bus numbers
        // 100 and 0 against 1 and 1), and a drive with another serial number is another drive.
        bool rejected = false;
        uint32_t index = 0;
        for (;;) {
            PlatHandle disk = FindDiskByPortFrom(iCmdType, iPort, &index);
            if (disk == PLAT_INVALID_HANDLE) break;
            ++index;
            uint32_t type = 0, number = 0;
            bool numbered = QueryDeviceNumber(disk, &type, &number);
            PlatDeviceClose(disk);
            // Without its number the disk cannot be probed; never fall back to another path.
            if (!numbered) continue;
            char16_t path[kDriveText];
            FormatInto(path, u"\\\\.\\PhysicalDrive%d", static_cast<int32_t>(number));
            DriveInfo probed;
            int32_t result =
                bIsSATA ? ProbeSataDrive(path, &probed) : ProbeNvmeDrive(path, &probed);
            if (result != kFwOk) {
                rejected = true;
                continue;
            }
            if (WCompare(probed.DiskSerial, record->DiskSerial) != 0) continue;
            *record = probed;
            LogDetail(u"GetDiskInfoByPortID Success OUT");
            return 1;
        }
        if (rejected) {
            // The drive is there but its probe rejects it: no further attempts, and the
            // record is left cleared as the probe leaves it.
            ClearDriveInfo(record);
            return 0;
        }
        PlatSleep(kRetryPauseMs);
        PostProgress(static_cast<intptr_t>(100 * static_cast<int64_t>(i) / attempts));
    }
    return 0;
}
