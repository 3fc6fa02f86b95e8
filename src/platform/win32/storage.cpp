// Storage I/O on Windows: CreateFileW, DeviceIoControl, CloseHandle, GetLastError and
// VirtualAlloc for the request buffers.
#include "platform/storage.h"

#include <windows.h>

PlatHandle PlatDeviceOpen(const char16_t* path) {
    HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? PLAT_INVALID_HANDLE : static_cast<PlatHandle>(h);
}

int32_t PlatDeviceIoControl(PlatHandle device, uint32_t controlCode, void* inBuffer,
                            uint32_t inSize, void* outBuffer, uint32_t outSize,
                            uint32_t* bytesReturned) {
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(static_cast<HANDLE>(device), controlCode, inBuffer, inSize, outBuffer,
                              outSize, &returned, nullptr);
    if (bytesReturned) *bytesReturned = returned;
    return ok ? 1 : 0;
}

void PlatDeviceClose(PlatHandle device) {
    if (device != PLAT_INVALID_HANDLE && device != nullptr)
        CloseHandle(static_cast<HANDLE>(device));
}

uint32_t PlatGetLastError() {
    return GetLastError();
}

void* PlatPageAlloc(size_t size) {
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void PlatPageFree(void* memory) {
    if (memory) VirtualFree(memory, 0, MEM_RELEASE);
}
