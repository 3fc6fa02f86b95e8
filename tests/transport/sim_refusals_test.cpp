// The simulated machine refuses requests whose fixed fields are wrong, the way the real driver,
// bridge or drive would: each case builds one request by hand (from the simulator's own offset
// tables), breaks one field and shows the refusal; the unbroken request is accepted.
#include "fixture.h"

#include "platform/storage.h"
#include "sata/ata_transport.h"
#include "sim/windows_abi.h"

#include <functional>

namespace {

using Bytes = std::vector<uint8_t>;

void Set16(Bytes& b, size_t at, uint16_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
void Set32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
void SetPointer(Bytes& b, size_t at, const void* p) {
    const uint64_t v = reinterpret_cast<uintptr_t>(p);
    for (uint32_t i = 0; i < sim::kSptd.pointerSize; ++i)
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// One request: control code, the input (also the output, of the same size unless outSize says
// otherwise) and the data buffer a pass-through points at.
struct Request {
    bool toPort = false; // send on \\.\scsi1: rather than the drive
    uint32_t ioctl = 0;
    Bytes block;
    uint32_t outSize = 0; // 0: the size of the block
    alignas(16) uint8_t data[8192 + 16] = {};
    uint32_t dataShift = 0; // the DataBuffer points this far into data
};

// A SCSI pass-through request with the given CDB, direction and transfer.
void Sptd(Request& r, const Bytes& cdb, uint8_t cdbLength, uint8_t dataIn, uint32_t length,
          uint32_t timeout) {
    const sim::SptdOffsets& L = sim::kSptd;
    const uint32_t senseOffset = (L.size + 7) & ~7u;
    r.ioctl = sim::kIoctlScsiPassThroughDirect;
    r.block.assign(senseOffset + 64, 0);
    Set16(r.block, L.length, static_cast<uint16_t>(L.size));
    r.block[L.cdbLength] = cdbLength;
    r.block[L.senseInfoLength] = 64;
    r.block[L.dataIn] = dataIn;
    Set32(r.block, L.dataTransferLength, length);
    Set32(r.block, L.timeOutValue, timeout);
    Set32(r.block, L.senseInfoOffset, senseOffset);
    std::copy(cdb.begin(), cdb.end(), r.block.begin() + L.cdb);
}

// An ATA pass-through request: IDENTIFY DEVICE, 512 bytes in.
void AtaIdentifyRequest(Request& r) {
    const sim::AptdOffsets& L = sim::kAptd;
    r.ioctl = sim::kIoctlAtaPassThroughDirect;
    r.block.assign(L.size, 0);
    Set16(r.block, L.length, static_cast<uint16_t>(L.size));
    Set16(r.block, L.ataFlags, 0x03);
    Set32(r.block, L.dataTransferLength, 512);
    Set32(r.block, L.timeOutValue, 60);
    r.block[L.currentTaskFile + 1] = 1;    // count
    r.block[L.currentTaskFile + 5] = 0x40; // device
    r.block[L.currentTaskFile + 6] = 0xEC;
}

const Bytes kSatIdentify = {0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0x40, 0xEC, 0, 0};

// The family's vendor read of 4096 bytes (0xE6, dword 12 = 3) as a submission entry.
Bytes VendorReadEntry() {
    Bytes e(64, 0);
    e[0] = 0xE6;
    Set32(e, 4, 0xFFFFFFFFu);
    Set32(e, 40, 1024);
    Set32(e, 48, 3);
    Set32(e, 56, kSignature14);
    Set32(e, 60, kSignature15);
    return e;
}

// ASMedia: the command phase of the vendor read (the entry as data out).
void AsmCommandPhase(Request& r) {
    Sptd(r, {0xEA, 0x5A, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0}, 16, 0, 64, 10);
    const Bytes e = VendorReadEntry();
    std::copy(e.begin(), e.end(), r.data);
}
void AsmDataPhase(Request& r) {
    Sptd(r, {0xEB, 0x5A, 0x81, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x00, 0, 0}, 16, 1, 4096, 10);
}

// JMicron: the command phase of the vendor read (the 512-byte "NVME" block).
void JmiCommandPhase(Request& r) {
    Sptd(r, {0xA1, 0x80, 0, 0, 0x02, 0}, 16, 0, 512, 10);
    std::memcpy(r.data, "NVME", 4);
    const Bytes e = VendorReadEntry();
    std::copy(e.begin(), e.end(), r.data + 8);
}
void JmiDataPhase(Request& r) {
    Sptd(r, {0xA1, 0x82, 0, 0x00, 0x10, 0x00}, 16, 1, 4096, 10);
}

// RST "IntelNvm": the vendor read for path id 0.
void RstRequest(Request& r) {
    r.toPort = true;
    r.ioctl = sim::kIoctlScsiMiniport;
    r.block.assign(4096 + 167, 0);
    Set32(r.block, 0, 28);
    std::memcpy(&r.block[4], "IntelNvm", 8);
    Set32(r.block, 12, 40);
    Set32(r.block, 16, 0xF0002808u);
    Set32(r.block, 24, static_cast<uint32_t>(r.block.size() - 28));
    r.block[28] = 1;
    const Bytes e = VendorReadEntry();
    std::copy(e.begin(), e.end(), r.block.begin() + 32);
    Set32(r.block, 116, 164);
    Set32(r.block, 120, 4096);
}

// In-box protocol command: the vendor read.
void ProtocolCommandRequest(Request& r) {
    r.ioctl = sim::kIoctlStorageProtocolCommand;
    r.block.assign(144 + 4096, 0);
    Set32(r.block, 0, 1);
    Set32(r.block, 4, 84);
    Set32(r.block, 8, 3);
    Set32(r.block, 12, 0x80000000u);
    Set32(r.block, 24, 64);
    Set32(r.block, 36, 4096);
    Set32(r.block, 40, 10);
    Set32(r.block, 48, 144);
    Set32(r.block, 52, 144);
    Set32(r.block, 56, 1);
    const Bytes e = VendorReadEntry();
    std::copy(e.begin(), e.end(), r.block.begin() + 80);
}

// SCSI_ADDRESS in and out; the in-box Identify Controller query.
void ScsiAddressRequest(Request& r) {
    r.ioctl = sim::kIoctlScsiGetAddress;
    r.block.assign(8, 0);
    Set32(r.block, 0, 8);
}
void IdentifyQueryRequest(Request& r) {
    r.ioctl = sim::kIoctlStorageQueryProperty;
    r.block.assign(48 + 4096, 0);
    Set32(r.block, 0, 49);
    Set32(r.block, 8, 3);
    Set32(r.block, 12, 1);
    Set32(r.block, 16, 1); // CNS
    Set32(r.block, 24, 40);
    Set32(r.block, 28, 4096);
}

enum class Outcome {
    Accepted,
    Fails,          // the request fails (ERROR_INVALID_PARAMETER)
    CheckCondition, // SCSI status 2
    AtaError,       // ERR in the returned status register
    NvmeError,      // the drive completes the command with an error status
};

struct Case {
    const char* name;
    const char* path; // the drive's path in a typical machine
    uint32_t alignment;
    std::function<void(Request&)> build;   // the correct request
    std::function<void(Request&)> breakIt; // one wrong field (nullptr: send as built)
    std::function<void(Request&)> before;  // a correct request sent first (may be nullptr)
    Outcome expected;
};

// Sends one request on an opened drive; returns the trace record it left.
sim::TraceRecord Send(PlatHandle drive, PlatHandle port, Request& r) {
    if (r.ioctl == sim::kIoctlScsiPassThroughDirect)
        SetPointer(r.block, sim::kSptd.dataBuffer,
                   Le32At(r.block, sim::kSptd.dataTransferLength) ? r.data + r.dataShift : nullptr);
    if (r.ioctl == sim::kIoctlAtaPassThroughDirect)
        SetPointer(r.block, sim::kAptd.dataBuffer, r.data + r.dataShift);
    Bytes out(r.outSize ? r.outSize : r.block.size(), 0);
    uint32_t returned = 0;
    PlatDeviceIoControl(r.toPort ? port : drive, r.ioctl, r.block.data(),
                        static_cast<uint32_t>(r.block.size()), out.data(),
                        static_cast<uint32_t>(out.size()), &returned);
    r.block = out;
    return sim::Current().Trace().back();
}

Outcome OutcomeOf(const sim::TraceRecord& rec, const Request& sent) {
    if (!rec.ok) return Outcome::Fails;
    if (rec.scsi_status && *rec.scsi_status == 2) return Outcome::CheckCondition;
    if (rec.ata_status && (*rec.ata_status & 0x01)) return Outcome::AtaError;
    if (rec.ioctl == sim::kIoctlStorageProtocolCommand && Le32At(sent.block, 16) != sim::kStorageProtocolStatusSuccess)
        return Outcome::NvmeError; // ReturnStatus
    if (rec.ioctl == sim::kIoctlScsiMiniport && (Le32At(sent.block, 108) >> 17) != 0)
        return Outcome::NvmeError; // completion status field at 96 + 14
    return Outcome::Accepted;
}

const char* Name(Outcome o) {
    switch (o) {
    case Outcome::Accepted:
        return "accepted";
    case Outcome::Fails:
        return "request fails";
    case Outcome::CheckCondition:
        return "check condition";
    case Outcome::AtaError:
        return "ATA error status";
    case Outcome::NvmeError:
        return "NVMe error status";
    }
    return "?";
}

TEST(SimRefusals, EachMalformedRequestIsRefusedAndTheCorrectOneAccepted) {
    const sim::SptdOffsets& S = sim::kSptd;
    const sim::AptdOffsets& A = sim::kAptd;
    auto sat = [](Request& r) { Sptd(r, kSatIdentify, 12, 1, 512, 60); };
    auto sptdByte = [](uint32_t at, uint8_t v) { return [=](Request& r) { r.block[at] = v; }; };
    auto sptd32 = [](uint32_t at, uint32_t v) {
        return [=](Request& r) { Set32(r.block, at, v); };
    };
    auto cdbByte = [S](int i, uint8_t v) { return [=](Request& r) { r.block[S.cdb + i] = v; }; };
    auto ataReg = [A](int i, uint8_t v) {
        return [=](Request& r) { r.block[A.currentTaskFile + i] = v; };
    };
    const std::vector<Case> cases = {
        // SAT (SCSI / ATA translation) behind USB.
        {"SAT IDENTIFY as built", "sata-usb", 1, sat, nullptr, nullptr, Outcome::Accepted},
        {"SAT data-out protocol bytes for a data-in transfer", "sata-usb", 1, sat,
         [=](Request& r) {
             r.block[S.cdb + 1] = 0x0A;
             r.block[S.cdb + 2] = 0x06;
         },
         nullptr, Outcome::CheckCondition},
        {"SAT 12-byte CDB sent with CdbLength 16", "sata-usb", 1, sat, sptdByte(S.cdbLength, 16),
         nullptr, Outcome::CheckCondition},
        {"SAT TimeOutValue 0", "sata-usb", 1, sat, sptd32(S.timeOutValue, 0), nullptr,
         Outcome::Fails},
        {"SAT TimeOutValue over 30 hours", "sata-usb", 1, sat, sptd32(S.timeOutValue, 108001),
         nullptr, Outcome::Fails},
        {"SAT count 0 for 512 bytes", "sata-usb", 1, sat, cdbByte(4, 0), nullptr,
         Outcome::CheckCondition},
        {"SAT Device 0", "sata-usb", 1, sat, cdbByte(8, 0), nullptr, Outcome::CheckCondition},
        {"SAT 16-byte CDB with EXTEND for a 28-bit command", "sata-usb", 1,
         [](Request& r) {
             Sptd(r, {0x85, 0x09, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0x40, 0xEC, 0}, 16, 1, 512,
                  60);
         },
         nullptr, nullptr, Outcome::CheckCondition},
        {"SenseInfoLength 0", "sata-usb", 1, sat, sptdByte(S.senseInfoLength, 0), nullptr,
         Outcome::Fails},
        {"SenseInfoOffset inside the structure", "sata-usb", 1, sat,
         sptd32(S.senseInfoOffset, S.size - 8), nullptr, Outcome::Fails},
        {"sense area past the output buffer", "sata-usb", 1, sat,
         [](Request& r) { r.outSize = static_cast<uint32_t>(r.block.size() - 8); }, nullptr,
         Outcome::Fails},
        {"Length not the size of the structure", "sata-usb", 1, sat,
         [S](Request& r) { Set16(r.block, S.length, 44 + 56 - static_cast<uint16_t>(S.size)); },
         nullptr, Outcome::Fails},
        {"SAT data buffer off the SAS adapter's alignment", "sata-scsi", 4, sat,
         [](Request& r) { r.dataShift = 2; }, nullptr, Outcome::Fails},
        {"SAT data buffer on 4 bytes for the SAS adapter", "sata-scsi", 4, sat,
         [](Request& r) { r.dataShift = 4; }, nullptr, Outcome::Accepted},
        // ATA pass-through on a SATA port.
        {"ATA IDENTIFY as built", "sata", 1, AtaIdentifyRequest, nullptr, nullptr,
         Outcome::Accepted},
        {"ATA IDENTIFY with the 48-bit flag", "sata", 1, AtaIdentifyRequest,
         [A](Request& r) { Set16(r.block, A.ataFlags, 0x0B); }, nullptr, Outcome::AtaError},
        {"ATA IDENTIFY with count 0", "sata", 1, AtaIdentifyRequest, ataReg(1, 0), nullptr,
         Outcome::AtaError},
        {"ATA IDENTIFY with Device 0", "sata", 1, AtaIdentifyRequest, ataReg(5, 0), nullptr,
         Outcome::AtaError},
        {"ATA IDENTIFY with TimeOutValue 0", "sata", 1, AtaIdentifyRequest,
         sptd32(A.timeOutValue, 0), nullptr, Outcome::Fails},
        {"ATA data flags without a transfer length", "sata", 1, AtaIdentifyRequest,
         sptd32(A.dataTransferLength, 0), nullptr, Outcome::Fails},
        {"ATA data buffer off the adapter's alignment", "sata", 8, AtaIdentifyRequest,
         [](Request& r) { r.dataShift = 4; }, nullptr, Outcome::Fails},
        // ASMedia bridge.
        {"ASMedia command phase as built", "asmedia", 1, AsmCommandPhase, nullptr, nullptr,
         Outcome::Accepted},
        {"ASMedia command phase with byte 13 = 0", "asmedia", 1, AsmCommandPhase, cdbByte(13, 0),
         nullptr, Outcome::CheckCondition},
        {"ASMedia direction code against the opcode", "asmedia", 1, AsmCommandPhase, cdbByte(4, 2),
         nullptr, Outcome::CheckCondition},
        {"ASMedia data phase of a read as built", "asmedia", 1, AsmDataPhase, nullptr,
         AsmCommandPhase, Outcome::Accepted},
        {"ASMedia EA data phase for a read", "asmedia", 1, AsmDataPhase, cdbByte(0, 0xEA),
         AsmCommandPhase, Outcome::CheckCondition},
        {"ASMedia data phase length against the CDB", "asmedia", 1, AsmDataPhase,
         sptd32(S.dataTransferLength, 512), AsmCommandPhase, Outcome::CheckCondition},
        // JMicron bridge.
        {"JMicron command phase as built", "jmicron", 1, JmiCommandPhase, nullptr, nullptr,
         Outcome::Accepted},
        {"JMicron block without NVME", "jmicron", 1, JmiCommandPhase,
         [](Request& r) { r.data[0] = 'X'; }, nullptr, Outcome::CheckCondition},
        {"JMicron command phase length 256", "jmicron", 1, JmiCommandPhase,
         [=](Request& r) {
             r.block[S.cdb + 4] = 0x01;
             Set32(r.block, S.dataTransferLength, 256);
         },
         nullptr, Outcome::CheckCondition},
        {"JMicron data phase as built", "jmicron", 1, JmiDataPhase, nullptr, JmiCommandPhase,
         Outcome::Accepted},
        {"JMicron data-out sub-code for a read", "jmicron", 1, JmiDataPhase,
         [=](Request& r) {
             r.block[S.cdb + 1] = 0x83;
             r.block[S.dataIn] = 0;
         },
         JmiCommandPhase, Outcome::CheckCondition},
        {"JMicron data phase length against the CDB", "jmicron", 1, JmiDataPhase, cdbByte(4, 0x08),
         JmiCommandPhase, Outcome::CheckCondition},
        // RST miniport.
        {"RST as built", "rst", 1, RstRequest, nullptr, nullptr, Outcome::Accepted},
        {"RST byte 28 = 0", "rst", 1, RstRequest, sptdByte(28, 0), nullptr, Outcome::Fails},
        {"RST Timeout 0", "rst", 1, RstRequest, sptd32(12, 0), nullptr, Outcome::Fails},
        {"RST data at 200", "rst", 1, RstRequest, sptd32(116, 200), nullptr, Outcome::Fails},
        {"RST size length + 300", "rst", 1, RstRequest,
         [](Request& r) {
             r.block.resize(4096 + 300);
             Set32(r.block, 24, static_cast<uint32_t>(r.block.size() - 28));
         },
         nullptr, Outcome::Fails},
        {"RST NVMe dword 10 = 0", "rst", 1, RstRequest, sptd32(32 + 40, 0), nullptr,
         Outcome::NvmeError},
        // Storage queries.
        {"SCSI_ADDRESS as built", "sata", 1, ScsiAddressRequest, nullptr, nullptr,
         Outcome::Accepted},
        {"SCSI_ADDRESS with Length 0", "sata", 1, ScsiAddressRequest, sptd32(0, 0), nullptr,
         Outcome::Fails},
        {"Identify query as built", "nvme", 1, IdentifyQueryRequest, nullptr, nullptr,
         Outcome::Accepted},
        {"Identify query with its data inside the protocol data", "nvme", 1, IdentifyQueryRequest,
         sptd32(24, 16), nullptr, Outcome::Fails},
        {"Identify query of 512 bytes", "nvme", 1, IdentifyQueryRequest, sptd32(28, 512), nullptr,
         Outcome::Fails},
        // In-box protocol command.
        {"protocol command as built", "nvme", 1, ProtocolCommandRequest, nullptr, nullptr,
         Outcome::Accepted},
        {"protocol command Flags 0", "nvme", 1, ProtocolCommandRequest, sptd32(12, 0), nullptr,
         Outcome::Fails},
        {"protocol command TimeOutValue 0", "nvme", 1, ProtocolCommandRequest, sptd32(40, 0),
         nullptr, Outcome::Fails},
        {"protocol command data to and from the device", "nvme", 1, ProtocolCommandRequest,
         sptd32(32, 4096), nullptr, Outcome::Fails},
        {"protocol command NVMe dword 10 = 0", "nvme", 1, ProtocolCommandRequest,
         sptd32(80 + 40, 0), nullptr, Outcome::NvmeError},
        {"protocol command vendor read with NSID 0", "nvme", 1, ProtocolCommandRequest,
         sptd32(80 + 4, 0), nullptr, Outcome::NvmeError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Json machine = sim::TypicalMachine({DriveAt(c.path, 1)});
        for (auto& node : machine["nodes"])
            if (node.contains("disk")) node["disk"]["alignment"] = c.alignment;
        sim::Load(machine.dump());
        PlatHandle drive = PlatDeviceOpen(u"\\\\.\\PhysicalDrive1");
        PlatHandle port = PlatDeviceOpen(u"\\\\.\\scsi1:");
        ASSERT_NE(drive, PLAT_INVALID_HANDLE);
        if (c.before) {
            Request first;
            c.before(first);
            const sim::TraceRecord rec = Send(drive, port, first);
            ASSERT_STREQ(Name(OutcomeOf(rec, first)), Name(Outcome::Accepted)) << rec.note;
        }
        Request r;
        c.build(r);
        if (c.breakIt) c.breakIt(r);
        const sim::TraceRecord rec = Send(drive, port, r);
        EXPECT_STREQ(Name(OutcomeOf(rec, r)), Name(c.expected)) << rec.note;
        if (c.expected == Outcome::Accepted)
            EXPECT_EQ(rec.note.find("refused"), std::string::npos) << rec.note;
        else
            EXPECT_EQ(rec.note.rfind("refused: ", 0), 0u) << rec.note;
        PlatDeviceClose(drive);
        if (port != PLAT_INVALID_HANDLE) PlatDeviceClose(port);
    }
}

TEST(SimRefusals, TheTraceCarriesEveryTimeOutValue) {
    LoadDrives({DriveAt("sata-usb", 1), DriveAt("rst", 2), DriveAt("nvme", 3)});
    for (int number : {1, 2, 3}) {
        OpenedDrive drive(number, number == 1);
        uint8_t buffer[4096] = {};
        if (number == 1)
            EXPECT_EQ(AtaIdentify(&drive.context, drive.handle, buffer, 512), 1);
        else
            EXPECT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirFromDrive, 0xE6, 3, 0,
                                   kSignature14, kSignature15, buffer, sizeof(buffer)),
                      kFwOk);
    }
    std::vector<std::pair<uint32_t, uint32_t>> seen; // control code, timeout
    for (const auto& r : sim::Current().Trace())
        if (r.timeout) seen.push_back({r.ioctl, *r.timeout});
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {kIoctlScsiPassThroughDirect, 60}, // SAT IDENTIFY
        {kIoctlScsiMiniport, 40},          // RST
        {kIoctlStorageProtocolCommand, 10} // in-box
    };
    EXPECT_EQ(seen, expected);
}

} // namespace

namespace {

// The simulator's offset tables are written apart from the program's; both widths must agree,
// or one of the two is wrong (the program's is also checked against the SDK headers).
TEST(SimLayouts, BothWidthsAgreeWithTheProgramsOwnTables) {
    const std::pair<const sim::SptdOffsets&, const PassThroughLayout&> sptd[] = {
        {sim::kSptd32, kPassThroughLayout32}, {sim::kSptd64, kPassThroughLayout64}};
    for (const auto& [s, p] : sptd) {
        SCOPED_TRACE(s.pointerSize);
        EXPECT_EQ(s.size, p.sptdSize);
        EXPECT_EQ(s.dataTransferLength, p.sptdDataTransferLength);
        EXPECT_EQ(s.dataBuffer, p.sptdDataBuffer);
        EXPECT_EQ(s.senseInfoOffset, p.sptdSenseInfoOffset);
        EXPECT_EQ(s.cdb, p.sptdCdb);
        EXPECT_EQ(s.pointerSize, p.pointerSize);
    }
    const std::pair<const sim::AptdOffsets&, const PassThroughLayout&> aptd[] = {
        {sim::kAptd32, kPassThroughLayout32}, {sim::kAptd64, kPassThroughLayout64}};
    for (const auto& [a, p] : aptd) {
        SCOPED_TRACE(a.pointerSize);
        EXPECT_EQ(a.size, p.aptdSize);
        EXPECT_EQ(a.dataTransferLength, p.aptdDataTransferLength);
        EXPECT_EQ(a.dataBuffer, p.aptdDataBuffer);
        EXPECT_EQ(a.previousTaskFile, p.aptdPreviousTaskFile);
        EXPECT_EQ(a.currentTaskFile, p.aptdCurrentTaskFile);
    }
    EXPECT_EQ(sim::protocol_command::kCommand, offsetof(StorageProtocolCommand, Command));
    EXPECT_EQ(sim::protocol_command::kStructureLength, sizeof(StorageProtocolCommand));
    EXPECT_EQ(sim::protocol_query::kSize, sizeof(StorageProtocolQuery));
    EXPECT_EQ(sim::srb_io_control::kSize, sizeof(SrbIoControl));
    EXPECT_EQ(sim::kIoctlScsiPassThroughDirect, kIoctlScsiPassThroughDirect);
    EXPECT_EQ(sim::kIoctlAtaPassThroughDirect, kIoctlAtaPassThroughDirect);
    EXPECT_EQ(sim::kIoctlStorageProtocolCommand, kIoctlStorageProtocolCommand);
    EXPECT_EQ(sim::kIoctlScsiMiniport, kIoctlScsiMiniport);
    EXPECT_EQ(sim::kIoctlStorageQueryProperty, kIoctlStorageQueryProperty);
}

} // namespace
