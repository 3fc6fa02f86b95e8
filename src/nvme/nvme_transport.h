// One way to send an NVMe admin command over each of the four NVMe paths: the in-box driver
// (storage protocol requests), Intel RST (miniport requests on the SCSI port device) and the
// ASMedia and JMicron USB bridges (vendor SCSI commands). Results: 1 the request completed at
// the transport level (the NVMe status is never read), -4 the request failed or its buffer
// could not be had, -5 iCmdType is not an NVMe path (nothing sent).
#pragma once
#include "disk/transport.h"

#include <cstdint>

// Data direction.
inline constexpr int32_t kDirNone = 0;
inline constexpr int32_t kDirToDrive = 1;
inline constexpr int32_t kDirFromDrive = 2;

// The maker's signature that every vendor command but the configuration-record write carries:
// "TALVORIX", letters 1-4 in dword 15 and 5-8 in dword 14, the earlier letter in the less
// significant byte.
inline constexpr uint32_t kVendorSigDword14 = 0x5849524F; // "ORIX"
inline constexpr uint32_t kVendorSigDword15 = 0x564C4154; // "TALV"

// The 64-byte NVMe submission entry.
inline constexpr uint32_t kNvmeEntrySize = 64;

// Sends one admin command: NSID 0xFFFFFFFF, dword 10 = length / 4, dwords 12-15 as given.
int32_t NVMeAdminCmd(const TransportContext* context, PlatHandle drive, int32_t direction,
                     int32_t opcode, uint32_t dword12, uint32_t dword13, uint32_t dword14,
                     uint32_t dword15, void* buffer, uint32_t length);
// Identify with the CNS and NSID given. status (may be nullptr) is set to 2 when a bridge
// answered with a check condition.
int32_t NVMeIdentify(const TransportContext* context, PlatHandle drive, uint32_t cns, uint32_t nsid,
                     void* buffer, uint32_t length, uint8_t* status);

// Fills entry (64 bytes) as NVMeAdminCmd and NVMeIdentify send it.
void BuildAdminEntry(uint8_t* entry, int32_t opcode, uint32_t length, uint32_t dword12,
                     uint32_t dword13, uint32_t dword14, uint32_t dword15);
void BuildIdentifyEntry(uint8_t* entry, uint32_t cns, uint32_t nsid);
// Fills the SRB_IO_CONTROL header of an RST miniport request of size bytes (signature of 8
// characters) and the path bytes that follow it (28 = 1, 29 = path id).
void BuildRstHeader(uint8_t* request, uint32_t size, const char* signature, uint32_t timeout,
                    uint32_t controlCode, uint32_t pathId);

// Per-path primitives.
int32_t IO_NVMe_Identify(PlatHandle drive, uint32_t cns, uint32_t nsid, void* buffer,
                         uint32_t length);
int32_t IO_NVMe_AdminCmd(PlatHandle drive, int32_t direction, int32_t opcode, uint32_t dword12,
                         uint32_t dword13, uint32_t dword14, uint32_t dword15, void* buffer,
                         uint32_t length);
int32_t IO_RST_NVMeCmd(PlatHandle scsiPort, uint32_t pathId, int32_t direction,
                       const uint8_t* entry, void* buffer, uint32_t length);
int32_t IO_USB_ASM_Identify(PlatHandle drive, int32_t direction, const uint8_t* entry, void* buffer,
                            uint32_t length, uint8_t* status);
// The completion phase overwrites the first 16 bytes of entry with the completion entry.
int32_t IO_USB_ASM_NVMeCmd(PlatHandle drive, int32_t direction, uint8_t* entry, void* buffer,
                           uint32_t length, uint8_t* status);
int32_t IO_USB_JMI_NVMeCmd(PlatHandle drive, int32_t direction, const uint8_t* entry, void* buffer,
                           uint32_t length, uint8_t* status);
