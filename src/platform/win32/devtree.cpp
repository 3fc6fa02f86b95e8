// The device tree on Windows: SetupDi functions for interface and device sets and their
// properties, CM_Get_Parent and CM_Get_Device_IDW for the node graph.
#include "platform/devtree.h"
#include "platform/win32/devtree_detail.h"

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devpropdef.h>

#include <cstring>

namespace {

GUID ToGuid(const PlatGuid& g) {
    GUID out;
    static_assert(sizeof(out) == sizeof(g));
    std::memcpy(&out, &g, sizeof(out));
    return out;
}

HDEVINFO ToSet(PlatDevInfoSet set) {
    return static_cast<HDEVINFO>(set);
}

// Finds the SP_DEVINFO_DATA of a device instance within a set.
bool FindDevice(PlatDevInfoSet set, PlatDevInst devInst, SP_DEVINFO_DATA* data) {
    for (DWORD i = 0;; ++i) {
        data->cbSize = sizeof(*data);
        if (!SetupDiEnumDeviceInfo(ToSet(set), i, data)) return false;
        if (data->DevInst == devInst) return true;
    }
}

} // namespace

PlatDevInfoSet PlatDevGetClassDevs(const PlatGuid* classGuid, uint32_t flags) {
    GUID guid;
    const GUID* g = nullptr;
    if (classGuid) {
        guid = ToGuid(*classGuid);
        g = &guid;
    }
    HDEVINFO set = SetupDiGetClassDevsW(g, nullptr, nullptr, flags);
    return set == INVALID_HANDLE_VALUE ? PLAT_INVALID_HANDLE : static_cast<PlatDevInfoSet>(set);
}

void PlatDevDestroyList(PlatDevInfoSet set) {
    if (set != PLAT_INVALID_HANDLE && set != nullptr) SetupDiDestroyDeviceInfoList(ToSet(set));
}

int32_t PlatDevEnumInterface(PlatDevInfoSet set, const PlatGuid* classGuid, uint32_t index) {
    GUID guid = ToGuid(*classGuid);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    return SetupDiEnumDeviceInterfaces(ToSet(set), nullptr, &guid, index, &data) ? 1 : 0;
}

int32_t PlatDevGetInterfaceDetail(PlatDevInfoSet set, const PlatGuid* classGuid, uint32_t index,
                                  char16_t* path, uint32_t pathCap, uint32_t* requiredUnits,
                                  PlatDevInst* devInst) {
    GUID guid = ToGuid(*classGuid);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(ToSet(set), nullptr, &guid, index, &data)) return 0;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(ToSet(set), &data, nullptr, 0, &required, nullptr);
    if (required == 0) return 0;
    const uint32_t units =
        DetailPathUnits(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath));
    if (requiredUnits) *requiredUnits = units;
    // A size without room for the terminator gives no path (and no path[units - 1] to end).
    if (units == 0 || path == nullptr || pathCap < units) return 0;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, required));
    if (detail == nullptr) return 0;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    int32_t result = 0;
    if (SetupDiGetDeviceInterfaceDetailW(ToSet(set), &data, detail, required, nullptr, &info)) {
        std::memcpy(path, detail->DevicePath, units * sizeof(char16_t));
        path[units - 1] = 0;
        if (devInst) *devInst = info.DevInst;
        result = 1;
    }
    HeapFree(GetProcessHeap(), 0, detail);
    return result;
}

int32_t PlatDevEnumDevice(PlatDevInfoSet set, uint32_t index, PlatDevInst* devInst) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    if (!SetupDiEnumDeviceInfo(ToSet(set), index, &info)) return 0;
    if (devInst) *devInst = info.DevInst;
    return 1;
}

int32_t PlatDevGetRegistryProperty(PlatDevInfoSet set, PlatDevInst devInst, uint32_t property,
                                   void* buffer, uint32_t size, uint32_t* requiredSize) {
    SP_DEVINFO_DATA info;
    if (!FindDevice(set, devInst, &info)) return 0;
    DWORD type = 0;
    DWORD required = 0;
    BOOL ok = SetupDiGetDeviceRegistryPropertyW(ToSet(set), &info, property, &type,
                                                static_cast<BYTE*>(buffer), size, &required);
    if (requiredSize) *requiredSize = required;
    return ok ? 1 : 0;
}

int32_t PlatDevGetProperty(PlatDevInfoSet set, PlatDevInst devInst, const PlatDevPropKey* key,
                           void* buffer, uint32_t size, uint32_t* requiredSize) {
    SP_DEVINFO_DATA info;
    if (!FindDevice(set, devInst, &info)) return 0;
    DEVPROPKEY k;
    k.fmtid = ToGuid(key->fmtid);
    k.pid = key->pid;
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    BOOL ok = SetupDiGetDevicePropertyW(ToSet(set), &info, &k, &type, static_cast<BYTE*>(buffer),
                                        size, &required, 0);
    if (requiredSize) *requiredSize = required;
    return ok ? 1 : 0;
}

int32_t PlatDevGetParent(PlatDevInst child, PlatDevInst* parent) {
    DEVINST p = 0;
    if (CM_Get_Parent(&p, child, 0) != CR_SUCCESS) return 0;
    if (parent) *parent = p;
    return 1;
}

int32_t PlatDevGetDeviceId(PlatDevInst devInst, char16_t* buffer, uint32_t cap) {
    if (cap == 0) return 0;
    buffer[0] = 0;
    if (CM_Get_Device_IDW(devInst, reinterpret_cast<wchar_t*>(buffer), cap, 0) != CR_SUCCESS) {
        buffer[0] = 0;
        return 0;
    }
    buffer[cap - 1] = 0;
    return 1;
}
