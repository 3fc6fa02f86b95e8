// The device tree: device-interface classes and their members, all present devices, parents,
// device ids, registry properties and device properties.
//
// Windows: SetupDiGetClassDevsW, SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetailW,
// SetupDiEnumDeviceInfo, SetupDiGetDeviceRegistryPropertyW, SetupDiGetDevicePropertyW,
// SetupDiDestroyDeviceInfoList, CM_Get_Parent, CM_Get_Device_IDW.
// Linux builds and every test: the simulated device tree of sim/.
#pragma once
#include "platform/types.h"

struct PlatGuid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

inline bool operator==(const PlatGuid& a, const PlatGuid& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

// A device property key: property set and property id (DEVPROPKEY).
struct PlatDevPropKey {
    PlatGuid fmtid;
    uint32_t pid;
};

// Device instance handle (DEVINST). 0 is never a device.
typedef uint32_t PlatDevInst;
// A device-information set (HDEVINFO); PLAT_INVALID_HANDLE when it cannot be built.
typedef PlatHandle PlatDevInfoSet;

// Interface classes.
inline constexpr PlatGuid kGuidDevInterfaceDisk = {
    0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline constexpr PlatGuid kGuidDevInterfaceUsbDevice = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
inline constexpr PlatGuid kGuidDevInterfaceUsbHub = {
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
inline constexpr PlatGuid kGuidDevInterfaceUsbHostController = {
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};

// PCI link properties (DEVPKEY_PciDevice_*), 4-byte values.
inline constexpr PlatGuid kPciDevicePropertySet = {
    0x3AB22E31, 0x8264, 0x4B4E, {0x9A, 0xF5, 0xA8, 0xD2, 0xD8, 0xE3, 0x3E, 0x62}};
inline constexpr PlatDevPropKey kPciCurrentLinkSpeed = {kPciDevicePropertySet, 9};
inline constexpr PlatDevPropKey kPciCurrentLinkWidth = {kPciDevicePropertySet, 10};
inline constexpr PlatDevPropKey kPciMaxLinkSpeed = {kPciDevicePropertySet, 11};
inline constexpr PlatDevPropKey kPciMaxLinkWidth = {kPciDevicePropertySet, 12};

// Flags of PlatDevGetClassDevs (DIGCF_*).
inline constexpr uint32_t kDigcfPresent = 0x02;
inline constexpr uint32_t kDigcfAllClasses = 0x04;
inline constexpr uint32_t kDigcfProfile = 0x08;
inline constexpr uint32_t kDigcfDeviceInterface = 0x10;

// Registry properties (SPDRP_*).
inline constexpr uint32_t kSpdrpService = 0x04;
inline constexpr uint32_t kSpdrpLocationInformation = 0x0D;
inline constexpr uint32_t kSpdrpBusNumber = 0x15;

// Builds a set: the interfaces of classGuid (kDigcfDeviceInterface) or all present devices
// (classGuid nullptr with kDigcfAllClasses).
PlatDevInfoSet PlatDevGetClassDevs(const PlatGuid* classGuid, uint32_t flags);
void PlatDevDestroyList(PlatDevInfoSet set);

// The interface member at index of an interface set: 1 when it exists, 0 past the last.
int32_t PlatDevEnumInterface(PlatDevInfoSet set, const PlatGuid* classGuid, uint32_t index);
// The member's device path and device instance. With path nullptr (or too small a pathCap)
// only *requiredUnits is set (the path's length with its terminator) and 0 is returned;
// otherwise 1 on success. requiredUnits and devInst may be nullptr.
int32_t PlatDevGetInterfaceDetail(PlatDevInfoSet set, const PlatGuid* classGuid, uint32_t index,
                                  char16_t* path, uint32_t pathCap, uint32_t* requiredUnits,
                                  PlatDevInst* devInst);

// The device at index of a set (every set, interface sets included): 1 and its device
// instance, 0 past the last.
int32_t PlatDevEnumDevice(PlatDevInfoSet set, uint32_t index, PlatDevInst* devInst);

// A registry property (kSpdrp*) of a device of the set. Text properties are UTF-16 with a
// terminator, numbers 4-byte little-endian. Returns 1 when it was read into buffer; 0 when
// it is absent or buffer is too small (then *requiredSize holds the size in bytes, when the
// property exists). requiredSize may be nullptr.
int32_t PlatDevGetRegistryProperty(PlatDevInfoSet set, PlatDevInst devInst, uint32_t property,
                                   void* buffer, uint32_t size, uint32_t* requiredSize);
// A device property (DEVPROPKEY) of a device of the set; same contract.
int32_t PlatDevGetProperty(PlatDevInfoSet set, PlatDevInst devInst, const PlatDevPropKey* key,
                           void* buffer, uint32_t size, uint32_t* requiredSize);

// CM_Get_Parent: 1 and the parent, or 0 when the node has none.
int32_t PlatDevGetParent(PlatDevInst child, PlatDevInst* parent);
// CM_Get_Device_IDW into a buffer of cap units: 1 on success, 0 on failure (buffer empty).
int32_t PlatDevGetDeviceId(PlatDevInst devInst, char16_t* buffer, uint32_t cap);
