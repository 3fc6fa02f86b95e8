#include "disk/enumerate.h"

#include "base/bytes.h"
#include "base/format.h"
#include "base/log.h"
#include "base/text.h"
#include "disk/disk_queries.h"
#include "disk/drive_text.h"
#include "disk/nand.h"
#include "disk/port_location.h"
#include "disk/transport.h"
#include "nvme/nvme_transport.h"
#include "platform/requests.h"
#include "platform/storage.h"
#include "sata/ata_transport.h"

#include <cstring>

namespace {

constexpr uint32_t kIdentifySize = 4096;
constexpr uint32_t kAtaIdentifySize = 512;
constexpr uint32_t kMinimumGB = 16;
constexpr uint8_t kCheckCondition = 2;


// N of "\\.\PhysicalDriveN", in any letter case; 0 when the path has another form.
int32_t DriveNumberOfPath(const char16_t* path) {
    static const char16_t kPrefix[] = u"\\\\.\\physicaldrive";
    char16_t lower[kDriveText];
    WCopy(lower, path);
    WLower(lower);
    const char16_t* p = lower;
    for (const char16_t* q = kPrefix; *q != 0; ++q, ++p)
        if (*p != *q) return 0;
    int64_t n = 0;
    return ScanDecimal(&p, &n) ? static_cast<int32_t>(n) : 0;
}

// count raw ANSI bytes, zero-terminated in a zero-filled copy, converted into the field.
void AnsiBytesToField(const uint8_t* bytes, size_t count, char16_t (&field)[kDriveText]) {
    char text[kDriveText] = {};
    std::memcpy(text, bytes, count < sizeof text - 1 ? count : sizeof text - 1);
    AnsiToWide(text, -1, field);
}

// An ATA string: two characters per word, the first in the high byte.
void AtaStringToField(const uint8_t* words, size_t count, char16_t (&field)[kDriveText]) {
    char text[kDriveText] = {};
    for (size_t i = 0; i + 1 < count && i + 1 < sizeof text - 1; i += 2) {
        text[i] = static_cast<char>(words[i + 1]);
        text[i + 1] = static_cast<char>(words[i]);
    }
    AnsiToWide(text, -1, field);
    TrimBlanks(field);
}

int32_t Enumerate(DriveInfo* records, int32_t room, int32_t (*probe)(const char16_t*, DriveInfo*)) {
    if (records == nullptr || room <= 0) return 0;
    std::memset(records, 0, sizeof(DriveInfo) * static_cast<size_t>(room));
    int32_t found = 0;
    for (int32_t n = 0; n < kScannedDrives && found < room; ++n) {
        char16_t path[kDriveText];
        FormatInto(path, u"\\\\.\\PhysicalDrive%d", n);
        if (probe(path, &records[found]) == kFwOk) ++found;
    }
    AttachVolumeLetters(records, found);
    return found;
}

// Opens and classifies the drive for a probe: kFwOk with the drive handle and its context,
// -1 when it cannot be opened, -5 (handles closed) when no transport reaches it.
int32_t OpenForProbe(PlatHandle (*classify)(const char16_t*, TransportContext*), const char16_t* path,
                     TransportContext* context, PlatHandle* drive) {
    std::memset(context, 0, sizeof *context);
    context->hScsiPort = PLAT_INVALID_HANDLE;
    *drive = classify(path, context);
    if (*drive == PLAT_INVALID_HANDLE) return kFwOpenFailed;
    if (context->iCmdType == kCmdNone) {
        CloseTransport(*drive, context);
        *drive = PLAT_INVALID_HANDLE;
        return kFwNoTransport;
    }
    return kFwOk;
}

} // namespace

int32_t ProbeNvmeDrive(const char16_t* path, DriveInfo* record) {
    ClearDriveInfo(record);
    int32_t deviceNumber = DriveNumberOfPath(path);

    TransportContext context;
    PlatHandle drive = PLAT_INVALID_HANDLE;
    int32_t opened = OpenForProbe(ClassifyNvmeTransport, path, &context, &drive);
    if (opened != kFwOk) return opened;

    static_assert(kIdentifySize == 4096);
    uint8_t controller[kIdentifySize] = {};
    uint8_t status = 0;
    int32_t result = NVMeIdentify(&context, drive, 1, 0, controller, kIdentifySize, &status);
    if (result != 1 || status == kCheckCondition) {
        CloseTransport(drive, &context);
        return result != 1 ? result : kFwNoTransport;
    }
    uint8_t ns[kIdentifySize] = {};
    status = 0;
    NVMeIdentify(&context, drive, 0, 1, ns, kIdentifySize, &status);

    // LBA format 0, whatever format is in use. A data size exponent that does not fit 32 bits
    // is no block size at all: the drive measures 0 GB and is rejected.
    uint8_t lbads = ns[130];
    uint32_t blockSize = lbads < 32 ? 1u << lbads : 0;
    uint64_t nsze = Le64(ns);
    uint64_t totalBytes = nsze * blockSize; // modulo 2^64
    uint32_t capacity = CapacityToGB(blockSize, totalBytes);
    if (capacity < kMinimumGB) {
        CloseTransport(drive, &context);
        return kFwNoTransport;
    }

    WCopy(record->DevicePath, path);
    record->iCmdType = context.iCmdType;
    record->iCapacityGB = capacity;
    record->iSectorSize = blockSize;
    record->iSectorCount = nsze;
    record->iPciVendorId = static_cast<uint32_t>(controller[0] | controller[1] << 8);
    record->iPciSubsysVendorId = static_cast<uint32_t>(controller[2] | controller[3] << 8);
    AnsiBytesToField(controller + 24, 40, record->DiskModel);
    TrimBlanks(record->DiskModel);
    AnsiBytesToField(controller + 64, 8, record->DiskFwVersion);
    TrimBlanks(record->DiskFwVersion);
    AnsiBytesToField(controller + 4, 20, record->DiskSerial); // keeps its trailing blanks
    record->iDeviceNumber = deviceNumber;
    record->bRaw = 1;

    IdentifyNvmeNand(&context, drive, record);
    record->iPort = GetPortLocation(record->iCmdType, record->iDeviceNumber);
    LogDetail(u"%s - iCmdType = %d, iPort = %I64d", record->DevicePath, record->iCmdType,
              record->iPort);
    if (record->iCmdType == 2)
        GetPcieLinkInfo(path, &record->iLinkSpeed, &record->iLinkWidth, &record->iMaxLinkSpeed,
                        &record->iMaxLinkWidth);
    CloseTransport(drive, &context);
    return kFwOk;
}

int32_t ProbeSataDrive(const char16_t* path, DriveInfo* record) {
    ClearDriveInfo(record);
    int32_t deviceNumber = DriveNumberOfPath(path);

    TransportContext context;
    PlatHandle drive = PLAT_INVALID_HANDLE;
    int32_t opened = OpenForProbe(ClassifySataTransport, path, &context, &drive);
    if (opened != kFwOk) return opened;

    uint8_t identify[kAtaIdentifySize] = {};
    int32_t result = AtaIdentify(&context, drive, identify, kAtaIdentifySize);
    if (result != 1) {
        CloseTransport(drive, &context);
        return result;
    }
    uint64_t count = Le64(identify + 200); // words 100-103: the 48-bit LBA count
    int64_t gb = (static_cast<int64_t>(count) - 21168) / 1953504;
    if (gb < static_cast<int64_t>(kMinimumGB)) {
        CloseTransport(drive, &context);
        return kFwNoTransport;
    }

    AtaStringToField(identify + 54, 40, record->DiskModel);    // words 27-46
    AtaStringToField(identify + 20, 20, record->DiskSerial);   // words 10-19
    AtaStringToField(identify + 46, 8, record->DiskFwVersion); // words 23-26
    WCopy(record->DevicePath, path);
    record->iCmdType = context.iCmdType;
    record->iCapacityGB = static_cast<uint32_t>(gb);
    record->iSectorSize = 512;
    record->iSectorCount = count;
    record->iDeviceNumber = deviceNumber;
    record->bRaw = 1;

    IdentifySataNand(&context, drive, record);
    if (record->iCmdType == 17) {
        record->iPort = GetPortLocation(17, record->iDeviceNumber);
    } else {
        uint8_t pathId = 0;
        if (QueryScsiPathId(drive, &pathId)) record->iPort = pathId;
    }
    LogDetail(u"%s - iCmdType = %d, iPort = %I64d", record->DevicePath, record->iCmdType,
              record->iPort);
    uint16_t word77 = static_cast<uint16_t>(identify[154] | identify[155] << 8);
    record->iLinkSpeed = (word77 >> 1) & 7;
    CloseTransport(drive, &context);
    return kFwOk;
}

void AttachVolumeLetters(DriveInfo* records, int32_t count) {
    for (char16_t letter = u'C'; letter <= u'Z'; ++letter) {
        char16_t path[16];
        FormatInto(path, u"\\\\.\\%c:", letter);
        PlatHandle volume = PlatDeviceOpen(path);
        if (volume == PLAT_INVALID_HANDLE) continue;
        uint32_t type = 0, number = 0;
        if (QueryDeviceNumber(volume, &type, &number) && type == kFileDeviceDisk) {
            for (int32_t i = 0; i < count; ++i) {
                DriveInfo& d = records[i];
                if (d.iDeviceNumber != static_cast<int32_t>(number)) continue;
                d.bRaw = 0;
                // Whole "%c: " entries only: 21 of them fill the 63 units.
                if (WLen(d.DriveLetters) + 3 < static_cast<size_t>(kDriveText)) {
                    char16_t entry[4];
                    FormatInto(entry, u"%c: ", letter);
                    WAppend(d.DriveLetters, entry);
                }
                if (letter == u'C') d.bSystemDisk = 1;
                break;
            }
        }
        PlatDeviceClose(volume);
    }
}

int32_t EnumerateNvmeDrives(DriveInfo* records, int32_t room) {
    return Enumerate(records, room, ProbeNvmeDrive);
}

int32_t EnumerateSataDrives(DriveInfo* records, int32_t room) {
    return Enumerate(records, room, ProbeSataDrive);
}
