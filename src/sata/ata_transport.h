// The ATA command transport: ATA pass-through on a SATA port, or an ATA PASS-THROUGH command
// block of SCSI / ATA translation (SAT) carried by SCSI pass-through. Results: 1 the command
// succeeded, 0 it failed (the request failed, the ATA status showed ERR or DRQ, or the SAT
// command came back with a SCSI status other than GOOD).
#pragma once
#include "disk/transport.h"

#include <cstdint>

// ATA pass-through flags the callers pass (the transport adds the 48-bit flag itself).
inline constexpr uint32_t kAtaDrdyRequired = 0x1;
inline constexpr uint32_t kAtaDataIn = 0x2;
inline constexpr uint32_t kAtaDataOut = 0x4;

// Sends one command by the route of iCmdType: 17 and 18 SAT only; otherwise ATA pass-through,
// then SAT when that fails. lba is passed as its low and high 32-bit halves (bits 0-47 used);
// the count register receives length / 512.
int32_t AtaCmd(int32_t iCmdType, PlatHandle drive, uint8_t command, uint8_t feature, uint32_t flags,
               uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length);
// IDENTIFY DEVICE into buffer (zeroed first).
int32_t AtaIdentify(const TransportContext* context, PlatHandle drive, void* buffer,
                    uint32_t length);

int32_t IO_ATA_PassThrough(PlatHandle drive, uint8_t command, uint8_t feature, uint32_t flags,
                           uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length);
int32_t IO_SAT_PassThrough(PlatHandle drive, uint8_t command, uint8_t feature, uint32_t flags,
                           uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length);

// True for the opcodes sent as 48-bit commands.
bool IsAta48BitCommand(uint8_t command);
