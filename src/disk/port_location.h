// Port location: a 64-bit number that says where a drive is attached and stays the same when
// the drive leaves and comes back under another PhysicalDrive number.
//
//   USB (types 0, 1, 17): the attachment chain as base-100 digits, most significant first:
//       host controller index (1-based), root-hub port, each further hub's port, and last the
//       device's own port; so the location mod 100 is the drive's USB port.
//   NVMe on PCI Express (2, 3): BusNumber(controller) + 99 x BusNumber(bridge above it).
//   SATA and SCSI-class (16, 18): the SCSI PathId (the SATA probe reads it itself).
#pragma once
#include "platform/devtree.h"
#include "platform/types.h"

#include <cstdint>

// The port location of the disk PhysicalDrive<deviceNumber> for the given transport; 0 when no
// present disk has that number.
uint64_t GetPortLocation(int32_t iCmdType, int32_t deviceNumber);

// The raw USB chain of a USB device node given by its device id: the device's own port as the
// most significant digit, then the hub ports down to the root hub's, and the host controller
// index as the least significant digit (30201: port 3 on a hub on root port 2 of controller 1).
// 0 when no present USB device has that id.
uint64_t GetUsbLocation(const char16_t* usbDeviceId);
// Extends value with the hub's port digits (external hubs) and finally the host controller
// index (root hub).
uint64_t WalkUsbHubs(const char16_t* hubId, uint64_t value);
// The 1-based index of the host controller with this device id among the present host
// controllers; the number of controllers plus 1 when none has it.
uint32_t GetHostControllerIndex(const char16_t* controllerId);

// The same location rule applied to one node of the disk interface class, for re-discovery:
// for USB types the chain above the disk node; for NVMe types the bus formula. (The SATA rule
// needs the disk opened and is not here.)
uint64_t PortLocationOfDiskNode(int32_t iCmdType, PlatDevInst diskNode);

// The port number of a location text "Port_#0003.Hub_#0001" (0 when it does not parse).
uint64_t ParseUsbPortNumber(const char16_t* locationText);
// True when characters 5-12 of a hub's device id (after the 4-character enumerator and the
// separator) are "ROOT_HUB", i.e. the id splits as "%4s%8s" into "USB\" and "ROOT_HUB".
bool IsRootHubId(const char16_t* hubId);

// The device instance of member index of an interface set (0 when it cannot be read).
PlatDevInst InterfaceDevInst(PlatDevInfoSet set, const PlatGuid* classGuid, uint32_t index);
