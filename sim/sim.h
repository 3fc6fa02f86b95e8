// The simulated machine: the stand-in for the Windows storage stack, the device tree, the
// drivers, bridges and drives behind them, a virtual clock and a headless dialog host.
//
// Every program that links fw_sim gets the platform seams storage.h, devtree.h, clock.h and
// dialog_host.h from here. They all act on one current machine, which a test builds from JSON
// (sim::Load) and inspects through the trace of every request that reached it.
//
// See docs/simulated-machine.md for the machine description format.
#pragma once
#include "platform/dialog_host.h"
#include "platform/types.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Machine;

// One request that reached the simulated storage stack.
struct TraceRecord {
    uint64_t seq = 0;                             // from 1, in the order the requests arrived
    uint64_t t_ms = 0;                            // the virtual clock at the request
    std::string path;                             // the path the handle was opened with (UTF-8)
    uint32_t ioctl = 0;                           // control code
    std::vector<uint8_t> in;                      // the input buffer exactly as sent
    std::optional<std::vector<uint8_t>> data_out; // pass-through-direct: bytes at DataBuffer sent
    std::optional<std::vector<uint8_t>> data_in;  // pass-through-direct: bytes the device returned
    bool ok = false;
    uint32_t error = 0; // last error on failure
    // Decoded beside the raw bytes, where the request carries them.
    std::string drive;        // name of the drive the request reached ("" when none)
    std::vector<uint8_t> cdb; // SCSI pass-through: the CDB (CdbLength bytes)
    std::optional<uint8_t> scsi_status;
    std::vector<uint8_t> nvme;         // the 64-byte NVMe command the drive executed
    std::vector<uint8_t> ata;          // ATA registers: previous[8] then current[8] as sent
    std::optional<uint8_t> ata_status; // ATA status register returned
    std::optional<uint32_t> timeout;   // TimeOutValue / Timeout the request carried (seconds)
    std::string note; // what the simulator made of it ("refused: <why>", "refused by fault", ...)

    // The JSON line of this record.
    std::string ToJson() const;
};

// A fault armed on the current machine. Every criterion that is set must match; nth counts the
// requests that matched (1 = the first), count how many times it fires (0 = every time from
// nth on).
struct Fault {
    enum class Action {
        Refuse,         // the request fails with `error`; nothing reaches the drive
        CheckCondition, // SCSI pass-through answered with status 2 and sense; nothing executed
        AtaStatus,      // ATA pass-through returns `status` in the status register
        BadReply,       // the request succeeds but every byte of its reply data is inverted
    };
    std::optional<std::string> path;  // device path (case-insensitive)
    std::optional<std::string> drive; // drive name
    std::optional<uint32_t> ioctl;
    std::vector<uint8_t> cdb_prefix;    // first CDB bytes
    std::optional<uint8_t> nvme_opcode; // opcode of the NVMe command carried
    std::optional<uint8_t> ata_command; // ATA command register
    uint32_t nth = 1;
    uint32_t count = 1;
    Action action = Action::Refuse;
    uint32_t error = 1117; // ERROR_IO_DEVICE
    uint8_t status = 0x51; // for AtaStatus
};

// Builds a fresh machine from a JSON description (text) and makes it current. Throws
// std::runtime_error on a malformed description.
Machine& Load(const std::string& jsonText);
Machine& LoadFile(const std::string& path);
// An empty machine (no devices), made current.
Machine& Reset();
// The current machine (an empty one until a test loads another).
Machine& Current();

// Public face of the machine for tests and tools.
class Machine {
  public:
    virtual ~Machine() = default;

    // Trace.
    virtual std::vector<TraceRecord> Trace() const = 0;
    virtual std::vector<TraceRecord> TraceFor(const std::string& drive) const = 0;
    virtual void ClearTrace() = 0;
    virtual std::string TraceJsonLines() const = 0;
    // Also appends each record as it happens to this file ("" stops).
    virtual void SetTraceFile(const std::string& path) = 0;

    // Faults.
    virtual void AddFault(const Fault& fault) = 0;
    virtual void ClearFaults() = 0;
    // Makes the next n request-buffer allocations (PlatPageAlloc) fail.
    virtual void FailPageAllocs(uint32_t n) = 0;

    // Bookkeeping for leak checks.
    virtual int OpenHandleCount() const = 0;
    virtual int OpenDevInfoSetCount() const = 0;
    virtual int PageAllocCount() const = 0; // outstanding

    // Drives by name (the "name" of a disk in the description, or "PhysicalDriveN" when unnamed).
    virtual std::vector<std::string> DriveNames() const = 0;
    // The NVMe commands (64 bytes each) and ATA commands (previous and current registers, 16
    // bytes each) a drive executed, in order.
    virtual std::vector<std::vector<uint8_t>> ExecutedCommands(const std::string& drive) const = 0;
    // The current PhysicalDrive number of a drive (-1 when absent).
    virtual int DriveNumber(const std::string& drive) const = 0;
    // Counts SCSI pass-through phases that reached a bridge out of order (a data or completion
    // phase without its command phase, or a command phase while another command was pending).
    virtual int BridgeSequenceErrors(const std::string& drive) const = 0;
    // Raw drive state pages for tests: "vendor_info", "geometry", "config_record",
    // "identify_controller", "identify_namespace", "identify_device".
    virtual std::vector<uint8_t> DrivePage(const std::string& drive,
                                           const std::string& page) const = 0;
};

// Hex helpers for tests: lower-case hex of bytes, and bytes from hex (blanks ignored).
std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> FromHex(const std::string& hex);

// The virtual clock. PlatSleep advances it at once; tests can move it too.
uint64_t ClockNow();
void ClockAdvance(uint64_t milliseconds);
void ClockReset();
// Called (outside any lock) after every advance with the new time; returns an id.
int ClockSubscribe(std::function<void(uint64_t now)> listener);
void ClockUnsubscribe(int id);

// The headless dialog host: every posted or sent message is recorded.
struct WindowMessage {
    PlatWindow window = nullptr;
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    uint64_t t_ms = 0;
    bool sent = false; // PlatSendMessage rather than PlatPostMessage
};
std::vector<WindowMessage> Messages();
void ClearMessages();
// Handler for sent messages (and posted ones, when deliverPosts is true); nullptr removes it.
void SetMessageHandler(std::function<intptr_t(const WindowMessage&)> handler,
                       bool deliverPosts = false);

} // namespace sim
