#include "sata_drive.h"

#include "bytes.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {} // namespace

uint64_t AtaRegisters::Lba() const {
    uint64_t lba = static_cast<uint64_t>(current[2]) | (static_cast<uint64_t>(current[3]) << 8) |
                   (static_cast<uint64_t>(current[4]) << 16);
    if (is48) {
        lba |= (static_cast<uint64_t>(previous[2]) << 24) |
               (static_cast<uint64_t>(previous[3]) << 32) |
               (static_cast<uint64_t>(previous[4]) << 40);
    } else {
        lba |= static_cast<uint64_t>(current[5] & 0x0F) << 24;
    }
    return lba;
}

SataDrive::SataDrive(const Json& desc)
    : identifyDevice(512), vendorInfo(4096), geometry(4096), configRecord(4096) {
    firmwareRevision = JsonText(desc, "firmware", "SIM10001");
    const uint64_t count = JsonNumber(desc, "lba48", 1000215216ull);
    uint8_t* id = identifyDevice.data();
    Put16(id + 0, 0x0040);
    PutAtaString(id + 20, 20, JsonText(desc, "serial", "SIMSATA0001"));
    PutAtaString(id + 46, 8, firmwareRevision);
    PutAtaString(id + 54, 40, JsonText(desc, "model", "FW SATA SSD 512GB"));
    Put16(id + 98, 0x0F00); // capabilities: LBA, DMA
    Put32(id + 120, static_cast<uint32_t>(std::min<uint64_t>(count, 0x0FFFFFFF))); // words 60-61
    Put16(id + 154, static_cast<uint16_t>((JsonNumber(desc, "sata_gen", 3) & 7) << 1)); // word 77
    Put16(id + 166, 0x4400); // word 83: 48-bit
    Put64(id + 200, count);  // words 100-103
    // Word 255: signature 0xA5 and the checksum that makes the sum of all bytes zero.
    id[510] = 0xA5;
    uint8_t sum = 0;
    for (int i = 0; i < 511; ++i)
        sum = static_cast<uint8_t>(sum + id[i]);
    id[511] = static_cast<uint8_t>(-sum);

    FillVendorReplies(desc, vendorInfo, geometry, 4096);
    if (desc.contains("config_record") && desc["config_record"].contains("hex")) {
        std::vector<uint8_t> bytes = JsonBytes(desc["config_record"]["hex"]);
        std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), 4096), configRecord.begin());
    } else {
        for (size_t i = 0; i < configRecord.size(); ++i)
            configRecord[i] = static_cast<uint8_t>(i * 5 + 1);
        std::string name = firmwareRevision;
        if (desc.contains("config_record")) name = JsonText(desc["config_record"], "fw_name", name);
        PutText(configRecord, 1064, 8, name);
    }
}

AtaResult SataDrive::Execute(const AtaRegisters& regs, const uint8_t* toDrive, uint32_t toLength,
                             std::vector<uint8_t>* fromDrive, uint32_t fromLength) {
    std::vector<uint8_t> record(regs.previous, regs.previous + 8);
    record.insert(record.end(), regs.current, regs.current + 8);
    executed.push_back(record);
    if (fromDrive) fromDrive->assign(fromLength, 0);
    auto reply = [&](const std::vector<uint8_t>& page) {
        if (fromDrive)
            std::copy_n(page.begin(), std::min<size_t>(page.size(), fromLength),
                        fromDrive->begin());
        return AtaResult{};
    };
    const AtaResult aborted{kAtaStatusError, 0x04};
    switch (regs.Command()) {
    case 0xEC:
        return reply(identifyDevice);
    case 0xE7: // FLUSH CACHE
    case 0xEA: // FLUSH CACHE EXT
        return AtaResult{};
    case 0xC3:
        if (regs.Features() == 3) return reply(vendorInfo);
        if (regs.Features() == 4) return reply(geometry);
        if (regs.Features() == 2) {
            if (fromDrive == nullptr || fromLength != 4096 || regs.Count() != 8) return aborted;
            return reply(configRecord);
        }
        return aborted;
    case 0xC2: // the configuration record takes effect at once
        if (regs.Features() != 1 || toDrive == nullptr || toLength != 4096 || regs.Count() != 8 ||
            regs.Lba() != 0)
            return aborted;
        std::memcpy(configRecord.data(), toDrive, 4096);
        ShowRecordName();
        events.push_back("record written, name \"" + firmwareRevision + "\"");
        return AtaResult{};
    case 0x92:
        return DownloadMicrocode(regs, toDrive, toLength);
    default:
        return aborted;
    }
}

} // namespace sim
