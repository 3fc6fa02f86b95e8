// Storage I/O: device paths opened for requests, DeviceIoControl-style requests, and the
// page-granular request buffers the transports use.
//
// Windows: CreateFileW / DeviceIoControl / CloseHandle / GetLastError / VirtualAlloc.
// Linux builds and every test: the simulated storage stack of sim/.
#pragma once
#include "platform/types.h"

// Opens a device path ("\\.\PhysicalDrive3", "\\.\scsi2:", "\\.\C:", an interface path) with
// read and write access, sharing read and write, open-existing, normal attributes.
// Returns PLAT_INVALID_HANDLE on failure (PlatGetLastError tells why).
PlatHandle PlatDeviceOpen(const char16_t* path);

// Sends one request. Returns 1 on success, 0 on failure (PlatGetLastError tells why).
// bytesReturned may be nullptr.
int32_t PlatDeviceIoControl(PlatHandle device, uint32_t controlCode, void* inBuffer, uint32_t inSize,
                            void* outBuffer, uint32_t outSize, uint32_t* bytesReturned);

void PlatDeviceClose(PlatHandle device);

// The calling thread's last error code (Windows error numbers).
uint32_t PlatGetLastError();

// Zero-filled, page-granular memory for a request buffer (VirtualAlloc); nullptr when it
// cannot be had. Released with PlatPageFree.
void* PlatPageAlloc(size_t size);
void PlatPageFree(void* memory);
