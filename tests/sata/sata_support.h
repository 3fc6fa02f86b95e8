// Helpers for the SATA firmware suites: a simulated SATA drive on one of the three SATA paths,
// images in page memory as the update worker holds them, and the download commands the drive
// received.
#pragma once
#include "disk/transport.h"
#include "platform/storage.h"
#include "sim/machine_impl.h"
#include "sim/sim.h"
#include "sim/typical.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

inline constexpr int kDriveNumber = 1;

inline sim::Machine& LoadSataDrive(const std::string& path) {
    sim::DriveOnPath d;
    d.path = path;
    d.number = kDriveNumber;
    d.name = "ssd";
    return sim::Load(sim::TypicalMachine({d}).dump());
}

inline sim::SataDrive& TheDrive() {
    return *sim::Impl().DiskByName("ssd")->sata;
}

// The image in fresh page memory, as the worker loads it.
inline uint8_t* InPageMemory(const std::vector<uint8_t>& image) {
    auto* memory = static_cast<uint8_t*>(PlatPageAlloc(image.size()));
    if (memory != nullptr && !image.empty()) std::memcpy(memory, image.data(), image.size());
    return memory;
}

// A drive classified by the SATA rules; closes its handles at the end of the scope.
struct SataHandle {
    PlatHandle handle = PLAT_INVALID_HANDLE;
    TransportContext context{kCmdNone, PLAT_INVALID_HANDLE, 0};
    SataHandle() {
        const std::string text = "\\\\.\\PhysicalDrive" + std::to_string(kDriveNumber);
        const std::u16string path(text.begin(), text.end());
        handle = ClassifySataTransport(path.c_str(), &context);
    }
    ~SataHandle() { CloseTransport(handle, &context); }
    SataHandle(const SataHandle&) = delete;
    SataHandle& operator=(const SataHandle&) = delete;
};

// One DOWNLOAD MICROCODE request that reached the storage stack, by its registers.
struct SentSegment {
    uint8_t feature, count, lbaLow, lbaMid, lbaHigh, device;
    std::vector<uint8_t> data;
    bool ok;
};
inline std::vector<SentSegment> SentSegments() {
    std::vector<SentSegment> out;
    for (const sim::TraceRecord& r : sim::Current().Trace()) {
        if (r.ata.size() != 16 || r.ata[14] != 0x92) continue;
        const uint8_t* c = &r.ata[8];
        out.push_back({c[0], c[1], c[2], c[3], c[4], c[5],
                       r.data_out.value_or(std::vector<uint8_t>{}),
                       r.ok && r.ata_status.value_or(0x51) == 0x50});
    }
    return out;
}

inline std::string Name8(const std::string& name) {
    std::string field = name;
    field.resize(8, '\0');
    return field;
}
