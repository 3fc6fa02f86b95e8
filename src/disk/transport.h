// Transport classification: which path reaches an opened drive (iCmdType), and the
// device-tree queries discovery needs (a drive's device node, a disk opened by its interface,
// the service of its parent, the PCIe link of an NVMe controller).
#pragma once
#include "platform/devtree.h"
#include "platform/types.h"

#include <cstdint>

// Result codes shared by the drive operations.
inline constexpr int32_t kFwOk = 1;
inline constexpr int32_t kFwOpenFailed = -1;
inline constexpr int32_t kFwRequestFailed = -4;
inline constexpr int32_t kFwNoTransport = -5;

// iCmdType values.
inline constexpr int32_t kCmdAsmedia = 0;
inline constexpr int32_t kCmdJmicron = 1;
inline constexpr int32_t kCmdInboxNvme = 2;
inline constexpr int32_t kCmdRst = 3;
inline constexpr int32_t kCmdSata = 16;
inline constexpr int32_t kCmdSataUsb = 17;
inline constexpr int32_t kCmdSataScsi = 18;
inline constexpr int32_t kCmdNone = 255;

// Filled when a drive is opened for commands and passed to every command operation; lives as
// long as the drive handle returned beside it. Whoever classified the drive closes both
// handles (CloseTransport does it).
struct TransportContext {
    int32_t iCmdType;
    PlatHandle hScsiPort; // "\\.\scsiN:" of the drive (NVMe classification), else invalid
    uint32_t iPathId;     // SCSI PathId of the drive (NVMe classification)
};

// The text length GetParentService fills, terminator included.
inline constexpr uint32_t kServiceText = 128;

// Opens the drive path and decides its NVMe transport (0, 1, 2, 3 or 255). Returns the drive
// handle, or the invalid handle when the path cannot be opened (iCmdType is then not set).
PlatHandle ClassifyNvmeTransport(const char16_t* path, TransportContext* context);
// The same for SATA transports (16, 17, 18 or 255).
PlatHandle ClassifySataTransport(const char16_t* path, TransportContext* context);
// Closes a classified drive's handle and, when open, its SCSI port handle.
void CloseTransport(PlatHandle drive, TransportContext* context);

// 0 ASMedia, 1 JMicron, 255 neither, from the bridge's INQUIRY answer.
int32_t ProbeUsbBridge(PlatHandle drive);

// The device instance of the disk at path (level 0), of its parent (1) or grandparent (2); 0
// when no present disk has that path.
PlatDevInst GetDevNodeOfDrive(const char16_t* path, int32_t level);
// Opens the member at index of the present interfaces of a class; the invalid handle on any
// failure.
PlatHandle OpenDiskInterface(const PlatGuid* interfaceClass, uint32_t index);
// Fills buffer (kServiceText units) with the service name of the drive's parent node; empty
// when it cannot be read.
void GetParentService(const char16_t* path, char16_t* buffer);
// The PCIe link of the drive's parent (the NVMe controller); properties that cannot be read
// give 0.
void GetPcieLinkInfo(const char16_t* path, uint32_t* linkSpeed, uint32_t* linkWidth,
                     uint32_t* maxLinkSpeed, uint32_t* maxLinkWidth);
