// Small helpers for the transport suites: load a typical machine, open a drive the way the
// program does, and read the simulator's trace.
#pragma once
#include "disk/transport.h"
#include "nvme/nvme_transport.h"
#include "platform/requests.h"
#include "sim/sim.h"
#include "sim/typical.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

inline std::u16string DrivePath(int number) {
    std::string text = "\\\\.\\PhysicalDrive" + std::to_string(number);
    return std::u16string(text.begin(), text.end());
}

inline sim::DriveOnPath DriveAt(const char* path, int number, const char* name = "") {
    sim::DriveOnPath d;
    d.path = path;
    d.number = number;
    d.name = name;
    return d;
}

inline sim::Machine& LoadDrives(const std::vector<sim::DriveOnPath>& drives) {
    return sim::Load(sim::TypicalMachine(drives).dump());
}

// A drive opened and classified; closes both handles at the end of the scope.
struct OpenedDrive {
    PlatHandle handle = PLAT_INVALID_HANDLE;
    TransportContext context{kCmdNone, PLAT_INVALID_HANDLE, 0};
    OpenedDrive(int number, bool sata = false) {
        const std::u16string path = DrivePath(number);
        handle = sata ? ClassifySataTransport(path.c_str(), &context)
                      : ClassifyNvmeTransport(path.c_str(), &context);
    }
    ~OpenedDrive() { CloseTransport(handle, &context); }
    OpenedDrive(const OpenedDrive&) = delete;
    OpenedDrive& operator=(const OpenedDrive&) = delete;
};

// The trace records of one control code.
inline std::vector<sim::TraceRecord> TraceOf(uint32_t ioctl) {
    std::vector<sim::TraceRecord> out;
    for (auto& r : sim::Current().Trace())
        if (r.ioctl == ioctl) out.push_back(r);
    return out;
}

inline uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | bytes.at(offset + i);
    return v;
}

// Fields of a SCSI pass-through request as sent (native layout).
struct SentSptd {
    uint16_t length;
    uint8_t cdbLength, senseLength, dataIn;
    uint32_t transferLength, senseOffset;
    std::vector<uint8_t> cdb;
};
inline SentSptd DecodeSptd(const sim::TraceRecord& r) {
    const PassThroughLayout& l = kPassThroughLayoutNative;
    SentSptd s;
    s.length = static_cast<uint16_t>(r.in.at(0) | (r.in.at(1) << 8));
    s.cdbLength = r.in.at(6);
    s.senseLength = r.in.at(7);
    s.dataIn = r.in.at(8);
    s.transferLength = Le32At(r.in, l.sptdDataTransferLength);
    s.senseOffset = Le32At(r.in, l.sptdSenseInfoOffset);
    s.cdb.assign(r.in.begin() + l.sptdCdb, r.in.begin() + l.sptdCdb + 16);
    return s;
}

// The vendor signature words of the supported family ("TALVORIX").
inline constexpr uint32_t kSignature14 = 0x5849524F; // "ORIX"
inline constexpr uint32_t kSignature15 = 0x564C4154; // "TALV"
