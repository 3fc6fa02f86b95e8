// fwrenew-scan: loads a simulated machine from its JSON description, runs the drive
// enumeration on it and prints every drive record and the diagnostic log lines it wrote.
//
//   fwrenew-scan [--sata] [--quiet-log] [--trace FILE] MACHINE.json
//
// --trace FILE writes every request that reached the simulated storage stack to FILE as JSON
// lines (sequence, virtual time, device path, control code, request and data bytes, result).
// --sata runs the SATA enumeration (the one a SATA package uses); the default is the NVMe one.
// The detailed log is on, so the per-drive lines of the probes are shown as well.
#include "platform/utf8.h"
#include "base/format.h"
#include "base/log.h"
#include "base/text.h"
#include "disk/drive_info.h"
#include "disk/enumerate.h"
#include "disk/nand.h"
#include "platform/debug_output.h"
#include "sim/sim.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

std::string Utf8(const char16_t* text) {
    std::string out;
    AppendUtf8(out, text, std::char_traits<char16_t>::length(text));
    return out;
}

std::vector<std::string> g_log;
void CollectLine(void*, const char16_t* line) {
    g_log.push_back(Utf8(line));
}

const char* TransportName(int32_t iCmdType) {
    switch (iCmdType) {
    case 0:
        return "NVMe behind an ASMedia USB bridge";
    case 1:
        return "NVMe behind a JMicron USB bridge";
    case 2:
        return "NVMe, in-box driver";
    case 3:
        return "NVMe behind Intel RST";
    case 16:
        return "SATA, ATA pass-through";
    case 17:
        return "SATA behind USB";
    case 18:
        return "SATA behind a SCSI-class adapter";
    default:
        return "none";
    }
}

void PrintRecord(int index, const DriveInfo& d) {
    char16_t nandName[kDriveText];
    NandTypeName(d.iNandType, nandName);
    std::printf("drive %d: %s\n", index, Utf8(d.DevicePath).c_str());
    std::printf("  iCmdType        %d (%s)\n", d.iCmdType, TransportName(d.iCmdType));
    std::printf("  iPort           %llu\n", static_cast<unsigned long long>(d.iPort));
    std::printf("  DiskModel       \"%s\"\n", Utf8(d.DiskModel).c_str());
    std::printf("  DiskSerial      \"%s\"\n", Utf8(d.DiskSerial).c_str());
    std::printf("  DiskFwVersion   \"%s\"\n", Utf8(d.DiskFwVersion).c_str());
    std::printf("  iCapacityGB     %u (%llu blocks of %u bytes)\n", d.iCapacityGB,
                static_cast<unsigned long long>(d.iSectorCount), d.iSectorSize);
    std::printf("  iDeviceNumber   %d\n", d.iDeviceNumber);
    std::printf("  DriveLetters    \"%s\"  bRaw %d  bSystemDisk %d\n", Utf8(d.DriveLetters).c_str(),
                d.bRaw, d.bSystemDisk);
    std::printf("  PCI VID/SSVID   0x%04X / 0x%04X\n", d.iPciVendorId, d.iPciSubsysVendorId);
    std::printf("  link            speed %u width %u (max speed %u width %u)\n", d.iLinkSpeed,
                d.iLinkWidth, d.iMaxLinkSpeed, d.iMaxLinkWidth);
    std::printf("  iVendorCode     0x%04X  bVendorInfo %d\n", d.iVendorCode, d.bVendorInfo);
    std::printf("  NandDevids      %02X%02X%02X%02X%02X%02X\n", d.NandDevids[0], d.NandDevids[1],
                d.NandDevids[2], d.NandDevids[3], d.NandDevids[4], d.NandDevids[5]);
    std::printf("  iNandType       0x%04X \"%s\"  iLunCount %u\n", d.iNandType,
                Utf8(nandName).c_str(), d.iLunCount);
    std::printf("  DrvInfoVersion  \"%s\"  iFtlBuildNum 0x%08X\n", Utf8(d.DrvInfoVersion).c_str(),
                d.iFtlBuildNum);
}

int Usage() {
    std::fprintf(stderr, "usage: fwrenew-scan [--sata] [--quiet-log] [--trace FILE] MACHINE.json\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    bool sata = false;
    bool showLog = true;
    const char* machinePath = nullptr;
    const char* tracePath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sata") == 0) {
            sata = true;
        } else if (std::strcmp(argv[i], "--quiet-log") == 0) {
            showLog = false;
        } else if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc) {
            tracePath = argv[++i];
        } else if (argv[i][0] == '-' || machinePath != nullptr) {
            return Usage();
        } else {
            machinePath = argv[i];
        }
    }
    if (machinePath == nullptr) return Usage();

    try {
        sim::LoadFile(machinePath);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fwrenew-scan: %s: %s\n", machinePath, e.what());
        return 1;
    }

    if (tracePath != nullptr) {
        std::remove(tracePath);
        sim::Current().SetTraceFile(tracePath);
    }

    static const volatile int32_t detailOn = 1;
    LogBindDetailSwitch(&detailOn);
    PlatSetDebugSink(&CollectLine, nullptr);

    DriveInfo drives[26];
    int32_t count = sata ? EnumerateSataDrives(drives, 26) : EnumerateNvmeDrives(drives, 26);
    PlatSetDebugSink(nullptr, nullptr);
    if (tracePath != nullptr) sim::Current().SetTraceFile("");

    std::printf("%s enumeration of %s: %d drive%s\n", sata ? "SATA" : "NVMe", machinePath, count,
                count == 1 ? "" : "s");
    for (int32_t i = 0; i < count; ++i)
        PrintRecord(i, drives[i]);
    if (showLog) {
        std::printf("diagnostic log (%zu lines):\n", g_log.size());
        for (const std::string& line : g_log)
            std::printf("  %s\n", line.c_str());
    }
    return 0;
}
