// Inside the simulated machine: the device-tree nodes, the disks with the path that reaches
// each drive, volumes, SCSI port devices, open handles and device-information sets, and the
// request dispatch. Test equipment; files of sim/ and tests may use it directly (sim::Impl()).
#pragma once
#include "sim.h"

#include "hotplug.h"
#include "nvme_drive.h"
#include "nvme_firmware.h"
#include "sata_drive.h"
#include "machine_json.h"

#include "platform/devtree.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Disk;

struct DevInterface {
    PlatGuid cls;
    std::u16string path; // the device path the interface detail reports
};

// One node of the device tree. Nodes form a generic graph by parent; a node may carry a disk.
struct Node {
    PlatDevInst inst = 0;
    std::string key;         // the "id" of the description (unique)
    std::u16string deviceId; // CM_Get_Device_IDW
    PlatDevInst parent = 0;  // 0: no parent
    std::optional<std::u16string> service;
    std::optional<uint32_t> busNumber;
    std::optional<std::u16string> location;
    // Device properties by "{fmtid}/pid" text, raw bytes.
    std::map<std::string, std::vector<uint8_t>> properties;
    std::vector<DevInterface> interfaces;
    bool present = true;
    Disk* disk = nullptr;
};

// How requests to a disk are interpreted: the driver stack and bridge in front of the drive.
enum class PathKind {
    InboxNvme, // in-box NVMe driver: protocol queries and commands, firmware requests
    Rst,       // Intel RST: miniport requests on the SCSI port device
    Raid,      // a RAID driver that is not RST (bus type 8, no miniport channel)
    Asmedia,   // ASMedia USB-to-NVMe bridge
    Jmicron,   // JMicron USB-to-NVMe bridge
    UsbBridge, // another USB bridge: INQUIRY only (with the configured vendor bytes)
    SataPort,  // SATA port: ATA pass-through and SAT
    SataUsb,   // SATA behind a USB bridge: SAT only
    SataScsi,  // SATA behind a SAS / SCSI-class adapter: SAT only
    Other,     // anything else: storage descriptor only
};

struct ScsiAddr {
    uint8_t port = 0, path = 0, target = 0, lun = 0;
};

struct BridgeState {
    bool pending = false;            // a command phase arrived, its sequence is not complete
    bool dataDone = false;           // the data phase of the pending command ran
    std::vector<uint8_t> entry;      // the pending submission entry
    std::vector<uint8_t> completion; // completion of the last command (16 bytes)
    uint8_t controlMode = 0;         // JMicron: mode of a pending control block (byte 72)
    uint8_t directionCode = 0;       // ASMedia: byte 4 of the pending command phase
    int sequenceErrors = 0;
};

struct Disk {
    std::string name;
    int number = -1; // PhysicalDriveN
    Node* node = nullptr;
    PathKind kind = PathKind::Other;
    uint32_t busType = 0;
    std::optional<ScsiAddr> scsi;
    uint8_t inquiry36 = 0, inquiry37 = 0;
    bool ataPassThrough = true; // SataPort: the driver accepts ATA pass-through
    // The adapter's alignment mask: pass-through data buffers whose address has any of these
    // bits set are refused, as Windows port drivers refuse them.
    uintptr_t alignmentMask = 0;
    bool present = true;
    uint32_t generation = 0; // bumps when the disk leaves; older handles stop working
    std::unique_ptr<NvmeDrive> nvme;
    std::unique_ptr<SataDrive> sata;
    BridgeState bridge;
};

struct Volume {
    char letter = 'C';
    Disk* disk = nullptr; // nullptr: a volume spanning several disks (no device number)
    uint32_t partition = 1;
    uint32_t deviceType = 7;
};

// One request being handled. The input is copied first, so handlers may write the output
// even when the caller passed one buffer for both.
struct Request {
    uint32_t code = 0;
    std::vector<uint8_t> in;
    uint8_t* out = nullptr;
    uint32_t outSize = 0;
    uint32_t returned = 0;
    uint32_t error = 0;
    bool ok = false;
    Disk* disk = nullptr;
    TraceRecord* rec = nullptr;

    // The fault that fires on this request, once one did.
    const Fault* fault = nullptr;

    bool Fail(uint32_t err) {
        ok = false;
        error = err;
        return false;
    }
    bool Succeed(uint32_t bytes) {
        ok = true;
        returned = bytes;
        return true;
    }
};

struct OpenHandle {
    enum class Kind { Disk, Port, Volume } kind = Kind::Disk;
    std::string path; // UTF-8, as opened
    Disk* disk = nullptr;
    uint32_t generation = 0;
    int port = -1;
    Volume* volume = nullptr;
};

struct DevInfoSet {
    std::optional<PlatGuid> cls; // interface class, when an interface set
    std::vector<PlatDevInst> devices;
    std::vector<std::pair<PlatDevInst, std::u16string>> interfaces;
};

class MachineImpl : public Machine {
  public:
    MachineImpl();
    ~MachineImpl() override;

    // Loading.
    void LoadDescription(const Json& description);

    // Machine interface.
    std::vector<TraceRecord> Trace() const override;
    std::vector<TraceRecord> TraceFor(const std::string& drive) const override;
    void ClearTrace() override;
    std::string TraceJsonLines() const override;
    void SetTraceFile(const std::string& path) override;
    void AddFault(const Fault& fault) override;
    void ClearFaults() override;
    void FailPageAllocs(uint32_t n) override;
    int OpenHandleCount() const override;
    int OpenDevInfoSetCount() const override;
    int PageAllocCount() const override;
    std::vector<std::string> DriveNames() const override;
    std::vector<std::vector<uint8_t>> ExecutedCommands(const std::string& drive) const override;
    int DriveNumber(const std::string& drive) const override;
    int BridgeSequenceErrors(const std::string& drive) const override;
    std::vector<uint8_t> DrivePage(const std::string& drive,
                                   const std::string& page) const override;

    // Seams (called by the platform functions of sim/).
    PlatHandle Open(const std::u16string& path, uint32_t* error);
    bool Ioctl(PlatHandle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
               uint32_t outSize, uint32_t* returned, uint32_t* error);
    void Close(PlatHandle handle);
    void* PageAlloc(size_t size);
    void PageFree(void* memory);

    PlatDevInfoSet GetClassDevs(const PlatGuid* cls, uint32_t flags);
    void DestroyList(PlatDevInfoSet set);
    int32_t EnumInterface(PlatDevInfoSet set, const PlatGuid* cls, uint32_t index);
    int32_t InterfaceDetail(PlatDevInfoSet set, const PlatGuid* cls, uint32_t index, char16_t* path,
                            uint32_t cap, uint32_t* required, PlatDevInst* inst);
    int32_t EnumDevice(PlatDevInfoSet set, uint32_t index, PlatDevInst* inst);
    int32_t RegistryProperty(PlatDevInfoSet set, PlatDevInst inst, uint32_t property, void* buffer,
                             uint32_t size, uint32_t* required);
    int32_t DeviceProperty(PlatDevInfoSet set, PlatDevInst inst, const PlatDevPropKey* key,
                           void* buffer, uint32_t size, uint32_t* required);
    int32_t Parent(PlatDevInst child, PlatDevInst* parent);
    int32_t DeviceId(PlatDevInst inst, char16_t* buffer, uint32_t cap);

    // For handlers and extensions (call with the lock held, i.e. from inside a handler).
    // The fault for a request: decoded = false before the handler runs (faults on path, drive
    // and control code), true once the handler filled the CDB / NVMe / ATA fields of the trace
    // record (faults on the command). Returns the fault already chosen, if any.
    const Fault* FaultFor(Request& req, bool decoded);
    Node* NodeByInst(PlatDevInst inst);
    Node* NodeByKey(const std::string& key);
    Disk* DiskByName(const std::string& name);
    Disk* DiskByNumber(int number);
    // Adds a node (and its disk) described in JSON; used by the loader and by extensions that
    // bring devices in later.
    Node* AddNode(const Json& description);

    mutable std::recursive_mutex lock;
    std::vector<std::unique_ptr<Node>> nodes;
    std::vector<std::unique_ptr<Disk>> disks;
    std::vector<std::unique_ptr<Volume>> volumes;
    // SCSI port devices \\.\scsiN: by N, with the driver behind them ("rst" answers the
    // miniport channel; any other driver refuses it).
    std::map<int, std::string> scsiPorts;

    // Called (with the lock held) when a bridge receives its power-control request: ASMedia
    // EA 5A mode, JMicron the control block carrying the mode at byte 72 (at its data phase).
    // Unset: the request is accepted and nothing happens.
    std::function<void(Disk& disk, uint8_t mode)> onBridgePowerControl;
    // How each bridge drive's power cycle goes (its description's "power_cycle" key or
    // SetPowerCycle; absent: PowerCycle's defaults).
    std::map<std::string, PowerCycle> powerCycles;
    // Every drive leaving and coming back on this machine (hotplug.cpp).
    std::vector<DeviceChange> deviceChanges;

  private:
    bool Dispatch(OpenHandle& handle, Request& req);
    void Record(const TraceRecord& rec);

    struct ArmedFault {
        Fault fault;
        uint32_t seen = 0;
        uint32_t fired = 0;
    };
    std::vector<ArmedFault> faults_;
    std::vector<TraceRecord> trace_;
    uint64_t nextSeq_ = 1;
    std::string traceFile_;
    std::map<uintptr_t, OpenHandle> handles_;
    std::map<uintptr_t, DevInfoSet> sets_;
    uintptr_t nextHandle_ = 0x10000;
    uint32_t failAllocs_ = 0;
    int pageAllocs_ = 0;
};

// The current machine with its internals.
MachineImpl& Impl();

// The one way a drive's leave or return is announced (hotplug.cpp): records it in
// m.deviceChanges and posts WM_DEVICECHANGE to the device-change window.
void DriveChanged(MachineImpl& m, const Disk& disk, bool arrival);

// Request routing (paths.cpp; the request families are listed in request_families.h).
bool HandleDiskRequest(MachineImpl& m, Disk& disk, Request& req);
bool HandlePortRequest(MachineImpl& m, int port, Request& req);

// Text helpers.
std::string Utf8(const std::u16string& text);
std::u16string Utf16(const std::string& text);
std::string Lower(const std::string& text);
std::string GuidText(const PlatGuid& g); // "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"
// Key of a device property in Node::properties: "{fmtid}/pid".
std::string PropertyKey(const PlatGuid& fmtid, uint32_t pid);

} // namespace sim
