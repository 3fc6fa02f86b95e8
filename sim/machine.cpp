// The simulated machine: loading a description, handles, request dispatch, faults and the
// trace. The requests themselves are answered by the family files (request_families.h), the
// device-tree queries by device_tree.cpp.
#include "platform/utf8.h"
#include "machine_impl.h"

#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>

namespace sim {
namespace {

// A power cycle lasts at most a day on the virtual clock; longer is a typing error.
constexpr int64_t kMaxPowerCycleDelayMs = 24LL * 60 * 60 * 1000;
constexpr int64_t kMaxDriveNumber = std::numeric_limits<int>::max();

std::unique_ptr<MachineImpl>& CurrentSlot() {
    static std::unique_ptr<MachineImpl> current = std::make_unique<MachineImpl>();
    return current;
}

const char* kHexDigits = "0123456789abcdef";

std::string JsonEscape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

PlatGuid ParseGuid(const std::string& text) {
    PlatGuid g{};
    unsigned a, b, c, d[8];
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &a, &b, &c, &d[0],
                    &d[1], &d[2], &d[3], &d[4], &d[5], &d[6], &d[7]) != 11)
        throw std::runtime_error("bad GUID: " + text);
    g.Data1 = a;
    g.Data2 = static_cast<uint16_t>(b);
    g.Data3 = static_cast<uint16_t>(c);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<uint8_t>(d[i]);
    return g;
}

PlatGuid InterfaceClass(const std::string& name) {
    if (name == "disk") return kGuidDevInterfaceDisk;
    if (name == "usb_device") return kGuidDevInterfaceUsbDevice;
    if (name == "usb_hub") return kGuidDevInterfaceUsbHub;
    if (name == "usb_host_controller") return kGuidDevInterfaceUsbHostController;
    return ParseGuid(name);
}

struct PathInfo {
    const char* name;
    PathKind kind;
    uint32_t busType;
    uint8_t inquiry36, inquiry37;
};
const PathInfo kPaths[] = {
    {"nvme", PathKind::InboxNvme, kBusTypeNvme, 0, 0},
    {"rst", PathKind::Rst, kBusTypeNvme, 0, 0},
    {"raid", PathKind::Raid, kBusTypeRaid, 0, 0},
    {"asmedia", PathKind::Asmedia, kBusTypeUsb, 0x60, 0x23},
    {"jmicron", PathKind::Jmicron, kBusTypeUsb, 0x30, 0x35},
    {"usb-bridge", PathKind::UsbBridge, kBusTypeUsb, 0, 0},
    {"sata", PathKind::SataPort, kBusTypeSata, 0, 0},
    {"sata-usb", PathKind::SataUsb, kBusTypeUsb, 0, 0},
    {"sata-scsi", PathKind::SataScsi, kBusTypeSas, 0, 0},
    {"other", PathKind::Other, 0, 0, 0},
};

Fault::Action ParseAction(const std::string& name) {
    if (name == "refuse") return Fault::Action::Refuse;
    if (name == "check_condition") return Fault::Action::CheckCondition;
    if (name == "ata_status") return Fault::Action::AtaStatus;
    if (name == "bad_reply") return Fault::Action::BadReply;
    throw std::runtime_error("unknown fault action: " + name);
}

// A disk's "power_cycle": {"delay_ms": 1500, "return_number": -1, "comes_back": true}.
PowerCycle ParsePowerCycle(const Json& c) {
    if (!c.is_object()) throw std::runtime_error("power_cycle must be an object");
    PowerCycle cycle;
    // Read signed: JsonNumber hands a negative JSON number back as its two's complement.
    const int64_t delay = static_cast<int64_t>(JsonNumber(c, "delay_ms", 1500));
    if (delay < 0 || delay > kMaxPowerCycleDelayMs)
        throw std::runtime_error("power_cycle delay_ms must be 0 to " +
                                 std::to_string(kMaxPowerCycleDelayMs));
    cycle.delay_ms = delay;
    const int64_t number = static_cast<int64_t>(JsonNumber(c, "return_number", -1));
    if (number < -1 || number > kMaxDriveNumber)
        throw std::runtime_error("power_cycle return_number must be -1 to " +
                                 std::to_string(kMaxDriveNumber));
    cycle.return_number = static_cast<int>(number);
    cycle.comes_back = JsonFlag(c, "comes_back", true);
    return cycle;
}

Fault ParseFault(const Json& f) {
    Fault fault;
    if (f.contains("path")) fault.path = f["path"].get<std::string>();
    if (f.contains("drive")) fault.drive = f["drive"].get<std::string>();
    if (f.contains("ioctl")) fault.ioctl = static_cast<uint32_t>(JsonNumber(f["ioctl"]));
    if (f.contains("cdb")) fault.cdb_prefix = JsonBytes(f["cdb"]);
    if (f.contains("nvme_opcode"))
        fault.nvme_opcode = static_cast<uint8_t>(JsonNumber(f["nvme_opcode"]));
    if (f.contains("ata_command"))
        fault.ata_command = static_cast<uint8_t>(JsonNumber(f["ata_command"]));
    fault.nth = static_cast<uint32_t>(JsonNumber(f, "nth", 1));
    fault.count = static_cast<uint32_t>(JsonNumber(f, "count", 1));
    fault.action = ParseAction(JsonText(f, "action", "refuse"));
    fault.error = static_cast<uint32_t>(JsonNumber(f, "error", kErrorIoDevice));
    fault.status = static_cast<uint8_t>(JsonNumber(f, "status", 0x51));
    return fault;
}

// Normalised form of a device path for comparisons: ASCII lower case.
std::string PathKey(const std::string& path) {
    return Lower(path);
}

// "\\.\physicaldrive12" -> 12; -1 when the path is not of that form.
int ParseNumbered(const std::string& key, const std::string& prefix, const std::string& suffix) {
    if (key.size() <= prefix.size() + suffix.size() || key.compare(0, prefix.size(), prefix) != 0)
        return -1;
    if (key.compare(key.size() - suffix.size(), suffix.size(), suffix) != 0) return -1;
    const std::string digits =
        key.substr(prefix.size(), key.size() - prefix.size() - suffix.size());
    if (digits.empty() || digits.size() > 4 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    if (digits.size() > 1 && digits[0] == '0') return -1;
    return std::stoi(digits);
}

} // namespace

// ---- text helpers ---------------------------------------------------------------------------

std::string Utf8(const std::u16string& text) {
    std::string out;
    AppendUtf8(out, text.data(), text.size());
    return out;
}

std::u16string Utf16(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp;
        int extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F;
            extra = 2;
        } else {
            cp = c & 0x07;
            extra = 3;
        }
        ++i;
        for (int k = 0; k < extra && i < text.size(); ++k, ++i)
            cp = (cp << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string Lower(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string PropertyKey(const PlatGuid& fmtid, uint32_t pid) {
    return GuidText(fmtid) + "/" + std::to_string(pid);
}

std::string GuidText(const PlatGuid& g) {
    char buf[40];
    std::snprintf(buf, sizeof(buf), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 15];
    }
    return out;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == ':' || c == '-')
            continue;
        else
            throw std::runtime_error("bad hex: " + hex);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::runtime_error("odd hex: " + hex);
    return out;
}

std::string TraceRecord::ToJson() const {
    std::ostringstream s;
    s << "{\"seq\":" << seq << ",\"t_ms\":" << t_ms << ",\"path\":\"" << JsonEscape(path)
      << "\",\"ioctl\":" << ioctl << ",\"in\":\"" << Hex(in) << "\"";
    if (data_out) s << ",\"data_out\":\"" << Hex(*data_out) << "\"";
    if (data_in) s << ",\"data_in\":\"" << Hex(*data_in) << "\"";
    s << ",\"ok\":" << (ok ? "true" : "false");
    if (!ok) s << ",\"error\":" << error;
    if (!drive.empty()) s << ",\"drive\":\"" << JsonEscape(drive) << "\"";
    if (!cdb.empty()) s << ",\"cdb\":\"" << Hex(cdb) << "\"";
    if (scsi_status) s << ",\"scsi_status\":" << static_cast<int>(*scsi_status);
    if (!nvme.empty()) s << ",\"nvme\":\"" << Hex(nvme) << "\"";
    if (!ata.empty()) s << ",\"ata\":\"" << Hex(ata) << "\"";
    if (ata_status) s << ",\"ata_status\":" << static_cast<int>(*ata_status);
    if (timeout) s << ",\"timeout\":" << *timeout;
    if (!note.empty()) s << ",\"note\":\"" << JsonEscape(note) << "\"";
    s << "}";
    return s.str();
}

// ---- the current machine --------------------------------------------------------------------

MachineImpl& Impl() {
    return *CurrentSlot();
}
Machine& Current() {
    return *CurrentSlot();
}

Machine& Reset() {
    CurrentSlot() = std::make_unique<MachineImpl>();
    return *CurrentSlot();
}

Machine& Load(const std::string& jsonText) {
    auto machine = std::make_unique<MachineImpl>();
    machine->LoadDescription(Json::parse(jsonText, nullptr, true, true));
    CurrentSlot() = std::move(machine);
    return *CurrentSlot();
}

Machine& LoadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read machine description " + path);
    std::stringstream text;
    text << file.rdbuf();
    return Load(text.str());
}

MachineImpl::MachineImpl() {
    // A bridge's power-control command restarts the drive behind it (nvme_firmware.cpp).
    onBridgePowerControl = [this](Disk& disk, uint8_t mode) {
        BridgePowerControl(*this, disk, mode);
    };
}
MachineImpl::~MachineImpl() = default;

// ---- loading --------------------------------------------------------------------------------

Node* MachineImpl::AddNode(const Json& d) {
    auto node = std::make_unique<Node>();
    node->inst = static_cast<PlatDevInst>(nodes.size() + 1);
    node->deviceId = Utf16(JsonText(d, "device_id", "SIM\\NODE\\" + std::to_string(node->inst)));
    node->key = JsonText(d, "id", Utf8(node->deviceId));
    if (NodeByKey(node->key)) throw std::runtime_error("duplicate node id " + node->key);
    if (d.contains("parent") && !d["parent"].is_null()) {
        Node* parent = NodeByKey(d["parent"].get<std::string>());
        if (!parent) throw std::runtime_error("unknown parent " + d["parent"].get<std::string>());
        node->parent = parent->inst;
    }
    if (d.contains("service")) node->service = Utf16(d["service"].get<std::string>());
    if (d.contains("bus_number"))
        node->busNumber = static_cast<uint32_t>(JsonNumber(d["bus_number"]));
    if (d.contains("location")) node->location = Utf16(d["location"].get<std::string>());
    node->present = JsonFlag(d, "present", true);
    if (d.contains("pci_link")) {
        const Json& l = d["pci_link"];
        const std::pair<const char*, const PlatDevPropKey*> keys[] = {
            {"current_speed", &kPciCurrentLinkSpeed},
            {"current_width", &kPciCurrentLinkWidth},
            {"max_speed", &kPciMaxLinkSpeed},
            {"max_width", &kPciMaxLinkWidth}};
        for (const auto& [name, key] : keys) {
            if (!l.contains(name)) continue;
            std::vector<uint8_t> v(4);
            Put32(v.data(), static_cast<uint32_t>(JsonNumber(l[name])));
            node->properties[PropertyKey(key->fmtid, key->pid)] = v;
        }
    }
    if (d.contains("properties")) {
        for (const auto& p : d["properties"]) {
            std::vector<uint8_t> v;
            if (p.contains("u32")) {
                v.resize(4);
                Put32(v.data(), static_cast<uint32_t>(JsonNumber(p["u32"])));
            } else {
                v = JsonBytes(p["bytes"]);
            }
            node->properties[PropertyKey(ParseGuid(p["fmtid"].get<std::string>()),
                                         static_cast<uint32_t>(JsonNumber(p["pid"])))] = v;
        }
    }
    auto interfacePath = [&](const PlatGuid& cls) {
        std::string id = Lower(Utf8(node->deviceId));
        std::replace(id.begin(), id.end(), '\\', '#');
        return Utf16("\\\\?\\" + id + "#" + GuidText(cls));
    };
    if (d.contains("interfaces")) {
        for (const auto& i : d["interfaces"]) {
            PlatGuid cls = InterfaceClass(i.get<std::string>());
            node->interfaces.push_back({cls, interfacePath(cls)});
        }
    }
    if (d.contains("disk")) {
        const Json& s = d["disk"];
        auto disk = std::make_unique<Disk>();
        disk->number = static_cast<int>(JsonNumber(s, "number", 0));
        disk->name = JsonText(s, "name", "PhysicalDrive" + std::to_string(disk->number));
        if (DiskByName(disk->name)) throw std::runtime_error("duplicate disk name " + disk->name);
        const std::string pathName = JsonText(s, "path", "nvme");
        const PathInfo* info = nullptr;
        for (const auto& p : kPaths)
            if (pathName == p.name) info = &p;
        if (!info) throw std::runtime_error("unknown disk path " + pathName);
        disk->kind = info->kind;
        disk->busType = static_cast<uint32_t>(JsonNumber(s, "bus_type", info->busType));
        disk->inquiry36 = info->inquiry36;
        disk->inquiry37 = info->inquiry37;
        if (s.contains("inquiry_vendor")) {
            std::vector<uint8_t> v = JsonBytes(s["inquiry_vendor"]);
            v.resize(2);
            disk->inquiry36 = v[0];
            disk->inquiry37 = v[1];
        }
        disk->ataPassThrough = JsonFlag(s, "ata_pass_through", disk->kind == PathKind::SataPort);
        // Data buffer alignment of the adapter in bytes (a power of two): 4 for a SAS adapter
        // unless the description says otherwise, 1 (any address) for the others.
        const uint64_t alignment =
            JsonNumber(s, "alignment", disk->kind == PathKind::SataScsi ? 4 : 1);
        if (alignment == 0 || (alignment & (alignment - 1)) || alignment > 4096)
            throw std::runtime_error("alignment must be a power of two up to 4096");
        disk->alignmentMask = static_cast<uintptr_t>(alignment - 1);
        if (s.contains("scsi_address")) {
            const Json& a = s["scsi_address"];
            ScsiAddr addr;
            addr.port = static_cast<uint8_t>(JsonNumber(a, "port", 0));
            addr.path = static_cast<uint8_t>(JsonNumber(a, "path", 0));
            addr.target = static_cast<uint8_t>(JsonNumber(a, "target", 0));
            addr.lun = static_cast<uint8_t>(JsonNumber(a, "lun", 0));
            disk->scsi = addr;
            std::string& driver = scsiPorts[addr.port];
            if (disk->kind == PathKind::Rst)
                driver = "rst";
            else if (driver.empty())
                driver = "storport";
        }
        if (s.contains("power_cycle")) powerCycles[disk->name] = ParsePowerCycle(s["power_cycle"]);
        disk->present = node->present;
        const Json drive = s.contains("drive") ? s["drive"] : Json::object();
        const std::string kind = JsonText(drive, "kind", "");
        if (kind == "nvme")
            disk->nvme = std::make_unique<NvmeDrive>(drive);
        else if (kind == "sata")
            disk->sata = std::make_unique<SataDrive>(drive);
        else if (!kind.empty())
            throw std::runtime_error("unknown drive kind " + kind);
        disk->node = node.get();
        node->disk = disk.get();
        node->interfaces.push_back({kGuidDevInterfaceDisk, interfacePath(kGuidDevInterfaceDisk)});
        disks.push_back(std::move(disk));
    }
    nodes.push_back(std::move(node));
    return nodes.back().get();
}

void MachineImpl::LoadDescription(const Json& d) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (d.contains("nodes"))
        for (const auto& n : d["nodes"])
            AddNode(n);
    if (d.contains("scsi_ports")) {
        for (const auto& p : d["scsi_ports"]) {
            const int number = static_cast<int>(JsonNumber(p["number"]));
            if (JsonFlag(p, "present", true))
                scsiPorts[number] = JsonText(p, "driver", "storport");
            else
                scsiPorts.erase(number);
        }
    }
    if (d.contains("volumes")) {
        for (const auto& v : d["volumes"]) {
            auto volume = std::make_unique<Volume>();
            const std::string letter = v["letter"].get<std::string>();
            volume->letter =
                static_cast<char>(std::toupper(static_cast<unsigned char>(letter.at(0))));
            if (v.contains("disk") && !v["disk"].is_null()) {
                volume->disk = v["disk"].is_string()
                                   ? DiskByName(v["disk"].get<std::string>())
                                   : DiskByNumber(static_cast<int>(JsonNumber(v["disk"])));
                if (!volume->disk)
                    throw std::runtime_error("volume on an unknown disk: " + v["disk"].dump());
            }
            volume->partition = static_cast<uint32_t>(JsonNumber(v, "partition", 1));
            volume->deviceType =
                static_cast<uint32_t>(JsonNumber(v, "device_type", kFileDeviceDisk));
            volumes.push_back(std::move(volume));
        }
    }
    if (d.contains("faults"))
        for (const auto& f : d["faults"])
            AddFault(ParseFault(f));
}

// ---- lookups --------------------------------------------------------------------------------

Node* MachineImpl::NodeByInst(PlatDevInst inst) {
    if (inst == 0 || inst > nodes.size()) return nullptr;
    return nodes[inst - 1].get();
}

Node* MachineImpl::NodeByKey(const std::string& key) {
    for (auto& n : nodes)
        if (n->key == key) return n.get();
    return nullptr;
}

Disk* MachineImpl::DiskByName(const std::string& name) {
    for (auto& d : disks)
        if (d->name == name) return d.get();
    return nullptr;
}

Disk* MachineImpl::DiskByNumber(int number) {
    for (auto& d : disks)
        if (d->present && d->number == number) return d.get();
    return nullptr;
}

// ---- handles and requests -------------------------------------------------------------------

PlatHandle MachineImpl::Open(const std::u16string& path16, uint32_t* error) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    const std::string path = Utf8(path16);
    const std::string key = PathKey(path);
    OpenHandle h;
    h.path = path;
    int n;
    if ((n = ParseNumbered(key, "\\\\.\\physicaldrive", "")) >= 0) {
        Disk* disk = DiskByNumber(n);
        if (!disk) {
            *error = kErrorFileNotFound;
            return PLAT_INVALID_HANDLE;
        }
        h.kind = OpenHandle::Kind::Disk;
        h.disk = disk;
        h.generation = disk->generation;
    } else if ((n = ParseNumbered(key, "\\\\.\\scsi", ":")) >= 0) {
        if (!scsiPorts.count(n)) {
            *error = kErrorFileNotFound;
            return PLAT_INVALID_HANDLE;
        }
        h.kind = OpenHandle::Kind::Port;
        h.port = n;
    } else if (key.size() == 6 && key.compare(0, 4, "\\\\.\\") == 0 && key[5] == ':' &&
               key[4] >= 'a' && key[4] <= 'z') {
        Volume* found = nullptr;
        for (auto& v : volumes)
            if (Lower(std::string(1, v->letter))[0] == key[4]) found = v.get();
        if (!found || (found->disk && !found->disk->present)) {
            *error = kErrorFileNotFound;
            return PLAT_INVALID_HANDLE;
        }
        h.kind = OpenHandle::Kind::Volume;
        h.volume = found;
    } else {
        // A device interface path.
        Disk* disk = nullptr;
        for (auto& node : nodes) {
            if (!node->present || !node->disk) continue;
            for (const auto& i : node->interfaces)
                if (PathKey(Utf8(i.path)) == key) disk = node->disk;
        }
        if (!disk || !disk->present) {
            *error = kErrorFileNotFound;
            return PLAT_INVALID_HANDLE;
        }
        h.kind = OpenHandle::Kind::Disk;
        h.disk = disk;
        h.generation = disk->generation;
    }
    const uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = h;
    return reinterpret_cast<PlatHandle>(value);
}

void MachineImpl::Close(PlatHandle handle) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    handles_.erase(reinterpret_cast<uintptr_t>(handle));
}

bool MachineImpl::Ioctl(PlatHandle handle, uint32_t code, const void* in, uint32_t inSize,
                        void* out, uint32_t outSize, uint32_t* returned, uint32_t* error) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end()) {
        *error = kErrorInvalidHandle;
        *returned = 0;
        return false;
    }
    TraceRecord rec;
    rec.seq = nextSeq_++;
    rec.t_ms = ClockNow();
    rec.path = it->second.path;
    rec.ioctl = code;
    Request req;
    req.code = code;
    if (in && inSize)
        req.in.assign(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + inSize);
    rec.in = req.in;
    req.out = static_cast<uint8_t*>(out);
    req.outSize = out ? outSize : 0;
    req.rec = &rec;
    Dispatch(it->second, req);
    rec.ok = req.ok;
    rec.error = req.ok ? 0 : req.error;
    *returned = req.ok ? req.returned : 0;
    *error = rec.error;
    Record(rec);
    return req.ok;
}

bool MachineImpl::Dispatch(OpenHandle& h, Request& req) {
    switch (h.kind) {
    case OpenHandle::Kind::Disk:
        if (!h.disk->present || h.generation != h.disk->generation)
            return req.Fail(kErrorDeviceNotConnected);
        req.disk = h.disk;
        req.rec->drive = h.disk->name;
        if (const Fault* f = FaultFor(req, false); f && f->action == Fault::Action::Refuse) {
            req.rec->note = "refused by fault";
            return req.Fail(f->error);
        }
        return HandleDiskRequest(*this, *h.disk, req);
    case OpenHandle::Kind::Port:
        if (!scsiPorts.count(h.port)) return req.Fail(kErrorDeviceNotConnected);
        if (const Fault* f = FaultFor(req, false); f && f->action == Fault::Action::Refuse) {
            req.rec->note = "refused by fault";
            return req.Fail(f->error);
        }
        return HandlePortRequest(*this, h.port, req);
    case OpenHandle::Kind::Volume: {
        if (req.code != kIoctlStorageGetDeviceNumber) return req.Fail(kErrorInvalidFunction);
        Volume* v = h.volume;
        if (!v->disk) return req.Fail(kErrorInvalidFunction); // spans several disks
        if (!v->disk->present) return req.Fail(kErrorDeviceNotConnected);
        if (req.outSize < kStorageDeviceNumberSize) return req.Fail(kErrorInsufficientBuffer);
        Put32(req.out, v->deviceType);
        Put32(req.out + 4, static_cast<uint32_t>(v->disk->number));
        Put32(req.out + 8, v->partition);
        return req.Succeed(kStorageDeviceNumberSize);
    }
    }
    return req.Fail(kErrorInvalidFunction);
}

const Fault* MachineImpl::FaultFor(Request& req, bool decoded) {
    if (req.fault) return req.fault;
    const TraceRecord& r = *req.rec;
    for (auto& armed : faults_) {
        const Fault& f = armed.fault;
        // Faults on the command (CDB, NVMe or ATA command) are decided once the handler has
        // decoded the request; the others before it runs. Either way a request counts once.
        const bool onCommand = !f.cdb_prefix.empty() || f.nvme_opcode || f.ata_command;
        if (onCommand != decoded) continue;
        if (f.path && PathKey(*f.path) != PathKey(r.path)) continue;
        if (f.drive && (!req.disk || req.disk->name != *f.drive)) continue;
        if (f.ioctl && *f.ioctl != req.code) continue;
        if (!f.cdb_prefix.empty() &&
            (r.cdb.size() < f.cdb_prefix.size() ||
             !std::equal(f.cdb_prefix.begin(), f.cdb_prefix.end(), r.cdb.begin())))
            continue;
        if (f.nvme_opcode && (r.nvme.empty() || r.nvme[0] != *f.nvme_opcode)) continue;
        if (f.ata_command && (r.ata.size() < 16 || r.ata[14] != *f.ata_command)) continue;
        ++armed.seen;
        if (armed.seen < f.nth) continue;
        if (f.count != 0 && armed.fired >= f.count) continue;
        ++armed.fired;
        req.fault = &armed.fault;
        return req.fault;
    }
    return nullptr;
}

void MachineImpl::Record(const TraceRecord& rec) {
    trace_.push_back(rec);
    if (!traceFile_.empty()) {
        std::ofstream file(traceFile_, std::ios::app | std::ios::binary);
        file << rec.ToJson() << "\n";
    }
}

void* MachineImpl::PageAlloc(size_t size) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (failAllocs_ > 0) {
        --failAllocs_;
        return nullptr;
    }
    const size_t rounded = (size + 4095) / 4096 * 4096;
    void* p = ::operator new(rounded == 0 ? 4096 : rounded, std::align_val_t(4096), std::nothrow);
    if (p) {
        std::memset(p, 0, rounded == 0 ? 4096 : rounded);
        ++pageAllocs_;
    }
    return p;
}

void MachineImpl::PageFree(void* memory) {
    if (!memory) return;
    std::lock_guard<std::recursive_mutex> guard(lock);
    --pageAllocs_;
    ::operator delete(memory, std::align_val_t(4096), std::nothrow);
}

// ---- inspection -----------------------------------------------------------------------------

std::vector<TraceRecord> MachineImpl::Trace() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return trace_;
}

std::vector<TraceRecord> MachineImpl::TraceFor(const std::string& drive) const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::vector<TraceRecord> out;
    for (const auto& r : trace_)
        if (r.drive == drive) out.push_back(r);
    return out;
}

void MachineImpl::ClearTrace() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    trace_.clear();
}

std::string MachineImpl::TraceJsonLines() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::string out;
    for (const auto& r : trace_)
        out += r.ToJson() + "\n";
    return out;
}

void MachineImpl::SetTraceFile(const std::string& path) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    traceFile_ = path;
}

void MachineImpl::AddFault(const Fault& fault) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    faults_.push_back({fault, 0, 0});
}

void MachineImpl::ClearFaults() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    faults_.clear();
}

void MachineImpl::FailPageAllocs(uint32_t n) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    failAllocs_ = n;
}

int MachineImpl::OpenHandleCount() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return static_cast<int>(handles_.size());
}

int MachineImpl::OpenDevInfoSetCount() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return static_cast<int>(sets_.size());
}

int MachineImpl::PageAllocCount() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return pageAllocs_;
}

std::vector<std::string> MachineImpl::DriveNames() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::vector<std::string> out;
    for (const auto& d : disks)
        out.push_back(d->name);
    return out;
}

std::vector<std::vector<uint8_t>> MachineImpl::ExecutedCommands(const std::string& drive) const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (const auto& d : disks) {
        if (d->name != drive) continue;
        if (d->nvme) return d->nvme->executed;
        if (d->sata) return d->sata->executed;
    }
    return {};
}

int MachineImpl::DriveNumber(const std::string& drive) const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (const auto& d : disks)
        if (d->name == drive) return d->present ? d->number : -1;
    return -1;
}

int MachineImpl::BridgeSequenceErrors(const std::string& drive) const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (const auto& d : disks)
        if (d->name == drive) return d->bridge.sequenceErrors;
    return 0;
}

std::vector<uint8_t> MachineImpl::DrivePage(const std::string& drive,
                                            const std::string& page) const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (const auto& d : disks) {
        if (d->name != drive) continue;
        if (d->nvme) {
            if (page == "vendor_info") return d->nvme->vendorInfo;
            if (page == "geometry") return d->nvme->geometry;
            if (page == "config_record") return d->nvme->configRecord;
            if (page == "identify_controller") return d->nvme->identifyController;
            if (page == "identify_namespace") return d->nvme->identifyNamespace;
        }
        if (d->sata) {
            if (page == "vendor_info") return d->sata->vendorInfo;
            if (page == "geometry") return d->sata->geometry;
            if (page == "config_record") return d->sata->configRecord;
            if (page == "identify_device") return d->sata->identifyDevice;
        }
    }
    return {};
}

} // namespace sim
