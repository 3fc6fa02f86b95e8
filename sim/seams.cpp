// The storage and device-tree seams of the platform layer, answered by the current simulated
// machine.
#include "machine_impl.h"

#include "platform/devtree.h"
#include "platform/storage.h"

namespace {
thread_local uint32_t t_lastError = 0;

std::u16string Text(const char16_t* text) {
    return text ? std::u16string(text) : std::u16string();
}
} // namespace

PlatHandle PlatDeviceOpen(const char16_t* path) {
    uint32_t error = 0;
    PlatHandle h = sim::Impl().Open(Text(path), &error);
    if (h == PLAT_INVALID_HANDLE) t_lastError = error;
    return h;
}

int32_t PlatDeviceIoControl(PlatHandle device, uint32_t controlCode, void* inBuffer,
                            uint32_t inSize, void* outBuffer, uint32_t outSize,
                            uint32_t* bytesReturned) {
    uint32_t returned = 0;
    uint32_t error = 0;
    bool ok = sim::Impl().Ioctl(device, controlCode, inBuffer, inSize, outBuffer, outSize,
                                &returned, &error);
    if (bytesReturned) *bytesReturned = returned;
    if (!ok) t_lastError = error;
    return ok ? 1 : 0;
}

void PlatDeviceClose(PlatHandle device) {
    sim::Impl().Close(device);
}

uint32_t PlatGetLastError() {
    return t_lastError;
}

void* PlatPageAlloc(size_t size) {
    return sim::Impl().PageAlloc(size);
}

void PlatPageFree(void* memory) {
    sim::Impl().PageFree(memory);
}

PlatDevInfoSet PlatDevGetClassDevs(const PlatGuid* classGuid, uint32_t flags) {
    return sim::Impl().GetClassDevs(classGuid, flags);
}

void PlatDevDestroyList(PlatDevInfoSet set) {
    sim::Impl().DestroyList(set);
}

int32_t PlatDevEnumInterface(PlatDevInfoSet set, const PlatGuid* classGuid, uint32_t index) {
    return sim::Impl().EnumInterface(set, classGuid, index);
}

int32_t PlatDevGetInterfaceDetail(PlatDevInfoSet set, const PlatGuid* classGuid, uint32_t index,
                                  char16_t* path, uint32_t pathCap, uint32_t* requiredUnits,
                                  PlatDevInst* devInst) {
    return sim::Impl().InterfaceDetail(set, classGuid, index, path, pathCap, requiredUnits,
                                       devInst);
}

int32_t PlatDevEnumDevice(PlatDevInfoSet set, uint32_t index, PlatDevInst* devInst) {
    return sim::Impl().EnumDevice(set, index, devInst);
}

int32_t PlatDevGetRegistryProperty(PlatDevInfoSet set, PlatDevInst devInst, uint32_t property,
                                   void* buffer, uint32_t size, uint32_t* requiredSize) {
    return sim::Impl().RegistryProperty(set, devInst, property, buffer, size, requiredSize);
}

int32_t PlatDevGetProperty(PlatDevInfoSet set, PlatDevInst devInst, const PlatDevPropKey* key,
                           void* buffer, uint32_t size, uint32_t* requiredSize) {
    return sim::Impl().DeviceProperty(set, devInst, key, buffer, size, requiredSize);
}

int32_t PlatDevGetParent(PlatDevInst child, PlatDevInst* parent) {
    return sim::Impl().Parent(child, parent);
}

int32_t PlatDevGetDeviceId(PlatDevInst devInst, char16_t* buffer, uint32_t cap) {
    return sim::Impl().DeviceId(devInst, buffer, cap);
}
