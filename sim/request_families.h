// The families of Windows requests the simulated driver stacks answer, one file each:
//   paths.cpp                 routing by control code (disk and SCSI port devices), shared
//                             helpers (sense data, NVMe completions, faults on the command)
//   storage_query.cpp         IOCTL_STORAGE_QUERY_PROPERTY (device descriptor, NVMe protocol
//                             queries), IOCTL_STORAGE_GET_DEVICE_NUMBER, IOCTL_SCSI_GET_ADDRESS
//   scsi_pass_through.cpp     IOCTL_SCSI_PASS_THROUGH_DIRECT and the plain SCSI target (INQUIRY)
//   sat.cpp                   ATA PASS-THROUGH (12)/(16) CDBs of SCSI / ATA translation
//   asmedia_bridge.cpp        the ASMedia USB bridge's vendor CDBs (E6, EA/EB 5A phases)
//   jmicron_bridge.cpp        the JMicron USB bridge's vendor CDBs (A1 8x phases)
//   ata_pass_through.cpp      IOCTL_ATA_PASS_THROUGH_DIRECT on a SATA port
//   nvme_protocol_command.cpp IOCTL_STORAGE_PROTOCOL_COMMAND of the in-box NVMe driver
//   inbox_firmware.cpp        IOCTL_STORAGE_FIRMWARE_DOWNLOAD / _ACTIVATE of the in-box driver
//   rst_miniport.cpp          IOCTL_SCSI_MINIPORT on \\.\scsiN: (SRB_IO_CONTROL), "IntelNvm"
//   rst_firmware.cpp          the RST miniport's "IntelFw " firmware requests
//   nvme_firmware.cpp         a bridge's power control restarting its drive, machine restarts,
//                             device-change notices (nvme_firmware.h: the tests' side)
//   device_tree.cpp           the device-tree queries (interfaces, properties, parents, ids)
//   nvme_checks.cpp           what a drive refuses in a submission entry, whatever the path
// Every file decodes with the simulator's own offsets and codes (windows_abi.h), never the
// program's platform/requests.h, and refuses a wrong fixed field with Refuse() (the request
// fails), ScsiExchange::Reject() (check condition) or an NVMe / ATA error status, leaving
// "refused: <why>" in the trace. A new family goes into a new file with a handler declared
// here and a case in paths.cpp.
#pragma once
#include "machine_impl.h"
#include "windows_abi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// ---- shared helpers (paths.cpp) -------------------------------------------------------------

// Fixed-format sense data.
std::vector<uint8_t> Sense(uint8_t key, uint8_t asc, uint8_t ascq);
// The 16-byte NVMe completion entry for a command (its identifier taken from the entry).
std::vector<uint8_t> Completion(const NvmeCompletion& c, const uint8_t* entry);
// Fails the request with a Windows error, the reason in the trace's note. Returns false.
bool Refuse(Request& req, uint32_t error, const std::string& why);
// Applies a "refuse" fault decided on the decoded command; true when the request was refused.
bool Refused(MachineImpl& m, Request& req);
// A "bad_reply" fault fired on this request: the data returned is inverted.
bool BadReply(const Request& req);
void Invert(std::vector<uint8_t>& bytes);

// ---- SCSI targets (scsi_pass_through.cpp) ---------------------------------------------------

// What a SCSI target makes of one CDB.
struct ScsiExchange {
    const uint8_t* cdb = nullptr;
    uint8_t cdbLength = 0;
    uint8_t dataIn = kScsiIoctlDataUnspecified;
    const uint8_t* toDevice = nullptr; // data sent (DataIn = data out)
    uint32_t length = 0;               // DataTransferLength
    // Results.
    uint8_t status = 0;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> fromDevice; // data returned (at most length bytes are delivered)
    std::string note;

    void CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
        status = kScsiStatusCheckCondition;
        sense = Sense(key, asc, ascq);
    }
    void IllegalRequest() { CheckCondition(0x05, 0x24, 0x00); }
    // A target refuses the CDB: ILLEGAL REQUEST, INVALID FIELD IN CDB, the reason in the note.
    void Reject(const std::string& why) {
        IllegalRequest();
        note = "refused: " + why;
    }
};

// The transfer a pass-through request carries: 0 none (length 0), 1 to the device, 2 from it.
inline int TransferOf(const ScsiExchange& x) {
    if (x.length == 0) return 0;
    return x.dataIn == kScsiIoctlDataOut ? 1 : 2;
}
// The transfer an NVMe opcode implies (bits 1:0): 0 none, 1 to the drive, 2 from it, 3 both.
inline int NvmeOpcodeTransfer(uint8_t opcode) {
    return opcode & 3;
}
// Why a drive of the family refuses this submission entry with `length` bytes moving in
// `transfer` (0 none, 1 to the drive, 2 from it); "" when it takes it (nvme_checks.cpp).
std::string NvmeEntryFault(const uint8_t* entry, int transfer, uint32_t length);

// The standard INQUIRY reply of a target.
void Inquiry(const Disk& disk, ScsiExchange& x, const char* vendor, const char* product);
// Runs the command of a bridge sequence on the NVMe drive. dir: 0 none, 1 to drive, 2 from drive.
NvmeCompletion RunNvme(Disk& disk, const std::vector<uint8_t>& entry, int dir, ScsiExchange& x,
                       uint32_t length);

void AsmediaTarget(MachineImpl& m, Disk& disk, Request& req, ScsiExchange& x);
void JmicronTarget(MachineImpl& m, Disk& disk, Request& req, ScsiExchange& x);
void SatTarget(MachineImpl& m, Disk& disk, Request& req, ScsiExchange& x);

// ---- ATA registers (ata_pass_through.cpp), shared by the ATA and SAT routes -----------------

// True for the ATA command set's 48-bit (EXT) opcodes.
bool IsAta48BitOpcode(uint8_t command);
// Why a drive aborts these registers for a transfer of `length` bytes in the given direction
// ("" when it takes them): the 48-bit form against the opcode, the Device register, the sector
// count against the transfer length.
std::string AtaRegisterFault(const AtaRegisters& r, bool dataIn, bool dataOut, uint32_t length);

// ---- request handlers by control code -------------------------------------------------------

bool GetDeviceNumber(Disk& disk, Request& req);
bool StorageQueryProperty(MachineImpl& m, Disk& disk, Request& req);
bool ScsiGetAddress(Disk& disk, Request& req);
bool PassThroughDirect(MachineImpl& m, Disk& disk, Request& req);
bool AtaPassThroughDirect(MachineImpl& m, Disk& disk, Request& req);
bool ProtocolCommand(MachineImpl& m, Disk& disk, Request& req);
bool FirmwareDownload(MachineImpl& m, Disk& disk, Request& req);
bool FirmwareActivate(MachineImpl& m, Disk& disk, Request& req);
// SCSI port device (\\.\scsiN:), IOCTL_SCSI_MINIPORT.
bool RstMiniport(MachineImpl& m, int port, Request& req);
bool RstFirmware(MachineImpl& m, int port, Request& req);

// A bridge's power-control command reached it with this mode (the default behaviour of
// MachineImpl::onBridgePowerControl; nvme_firmware.cpp).
void BridgePowerControl(MachineImpl& m, Disk& disk, uint8_t mode);

} // namespace sim
