#include "nvme_drive.h"

#include "bytes.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

uint32_t SignatureWord(const std::string& letters) {
    uint8_t b[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < 4 && i < letters.size(); ++i)
        b[i] = static_cast<uint8_t>(letters[i]);
    return Le32(b);
}

} // namespace

NvmeDrive::NvmeDrive(const Json& desc)
    : identifyController(4096), identifyNamespace(4096), vendorInfo(4096), geometry(4096),
      configRecord(4096) {
    model_ = JsonText(desc, "model", "FW NVMe SSD 1TB");
    serial_ = JsonText(desc, "serial", "SIM0000000001");
    firmwareRevision = JsonText(desc, "firmware", "SIM10001");
    vid_ = static_cast<uint16_t>(JsonNumber(desc, "vid", 0xF0F0));
    ssvid_ = static_cast<uint16_t>(JsonNumber(desc, "ssvid", 0xF0F0));
    vendorCommands = JsonFlag(desc, "vendor_commands", true);
    const std::string signature = JsonText(desc, "signature", "TALVORIX");
    signature15 = SignatureWord(signature.substr(0, 4));
    signature14 = SignatureWord(signature.size() > 4 ? signature.substr(4, 4) : "");

    // Identify Namespace: NSZE, NCAP, NUSE, the LBA formats (LBADS of each) and FLBAS.
    const uint64_t nsze = JsonNumber(desc, "nsze", 2000409264ull);
    Put64(&identifyNamespace[0], nsze);
    Put64(&identifyNamespace[8], nsze);
    Put64(&identifyNamespace[16], nsze);
    std::vector<uint64_t> formats = {9};
    if (desc.contains("lba_formats")) {
        formats.clear();
        for (const auto& f : desc["lba_formats"])
            formats.push_back(JsonNumber(f));
    }
    identifyNamespace[25] = static_cast<uint8_t>(formats.empty() ? 0 : formats.size() - 1);
    identifyNamespace[26] = static_cast<uint8_t>(JsonNumber(desc, "flbas", 0));
    for (size_t i = 0; i < formats.size() && i < 16; ++i)
        identifyNamespace[128 + 4 * i + 2] = static_cast<uint8_t>(formats[i]);
    BuildIdentify();

    FillVendorReplies(desc, vendorInfo, geometry, 0);
    // NVMe drives add the firmware name, the id table and the alternate layout to reply B.
    if (desc.contains("geometry")) {
        const Json& g = desc["geometry"];
        PutText(geometry, 88, 8, JsonText(g, "fw_name", ""));
        if (g.contains("id_table")) {
            size_t offset = 1352;
            for (const auto& entry : g["id_table"]) {
                std::vector<uint8_t> id = JsonBytes(entry);
                for (size_t i = 0; i < 6 && i < id.size() && offset + i < geometry.size(); ++i)
                    geometry[offset + i] = id[i];
                offset += 6;
            }
        }
        if (g.contains("soc_id"))
            Put16(&geometry[1582], static_cast<uint16_t>(JsonNumber(g["soc_id"])));
        if (g.contains("version")) PutText(geometry, 1606, 10, g["version"].get<std::string>());
    }
    // The vendor configuration record: a recognisable pattern with the firmware name at
    // 1064-1071, unless given whole.
    if (desc.contains("config_record") && desc["config_record"].contains("hex")) {
        std::vector<uint8_t> bytes = JsonBytes(desc["config_record"]["hex"]);
        std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), 4096), configRecord.begin());
    } else {
        for (size_t i = 0; i < configRecord.size(); ++i)
            configRecord[i] = static_cast<uint8_t>(i * 7 + 3);
        std::string name = firmwareRevision;
        if (desc.contains("config_record")) name = JsonText(desc["config_record"], "fw_name", name);
        PutText(configRecord, 1064, 8, name);
    }
}

void NvmeDrive::BuildIdentify() {
    std::fill(identifyController.begin(), identifyController.end(), 0);
    Put16(&identifyController[0], vid_);
    Put16(&identifyController[2], ssvid_);
    PutPadded(&identifyController[4], 20, serial_);
    PutPadded(&identifyController[24], 40, model_);
    PutPadded(&identifyController[64], 8, firmwareRevision);
}

NvmeCompletion NvmeDrive::Execute(const uint8_t* entry, const uint8_t* toDrive, uint32_t toLength,
                                  std::vector<uint8_t>* fromDrive, uint32_t fromLength) {
    executed.emplace_back(entry, entry + 64);
    const uint8_t opcode = entry[0];
    const uint32_t nsid = Le32(entry + 4);
    const uint32_t cdw10 = Le32(entry + 40);
    const uint32_t cdw11 = Le32(entry + 44);
    const uint32_t cdw12 = Le32(entry + 48);
    const uint32_t cdw14 = Le32(entry + 56);
    const uint32_t cdw15 = Le32(entry + 60);
    if (fromDrive) fromDrive->assign(fromLength, 0);
    auto reply = [&](const std::vector<uint8_t>& page) {
        if (fromDrive)
            std::copy_n(page.begin(), std::min<size_t>(page.size(), fromLength),
                        fromDrive->begin());
        return NvmeCompletion{};
    };
    const bool signed_ = cdw14 == signature14 && cdw15 == signature15;
    for (NvmeReject& r : rejects) {
        if (r.opcode != opcode || (r.dword12 >= 0 && static_cast<uint32_t>(r.dword12) != cdw12))
            continue;
        ++r.seen;
        if (r.seen < r.nth || (r.count != 0 && r.fired >= r.count)) continue;
        ++r.fired;
        return NvmeCompletion{0, r.status};
    }

    switch (opcode) {
    case 0x06: { // Identify
        const uint32_t cns = cdw10 & 0xFF;
        if (cns == 1) return reply(identifyController);
        if (cns == 0 && (nsid == 1 || nsid == 0xFFFFFFFF)) return reply(identifyNamespace);
        return NvmeCompletion{0, kNvmeInvalidField};
    }
    case 0x11: // Firmware Image Download
        return FirmwareDownload(nsid, cdw10, cdw11, toDrive, toLength);
    case 0x10: // Firmware Commit
        return FirmwareCommit(nsid, cdw10);
    default:
        break;
    }
    if (!vendorCommands) return NvmeCompletion{0, kNvmeInvalidOpcode};
    switch (opcode) {
    case 0xE6:
        if (!signed_) return NvmeCompletion{0, kNvmeInvalidField};
        if (cdw12 == 3) return reply(vendorInfo);
        if (cdw12 == 1) return reply(configRecord);
        return NvmeCompletion{0, kNvmeInvalidField};
    case 0xF2:
        if (!signed_) return NvmeCompletion{0, kNvmeInvalidField};
        return reply(geometry);
    case 0xF1: // rewrites the first 144 bytes of the geometry page
        if (!signed_ || toDrive == nullptr) return NvmeCompletion{0, kNvmeInvalidField};
        std::memcpy(geometry.data(), toDrive, std::min<uint32_t>(toLength, 144));
        firmwareRevision = RecordedName(); // a name written takes effect at once
        BuildIdentify();
        return NvmeCompletion{};
    case 0xE5: { // writes the configuration record, dword 14 = its CRC-32
        if (cdw12 != 1 || toDrive == nullptr || toLength < 4096)
            return NvmeCompletion{0, kNvmeInvalidField};
        uint32_t crc = static_cast<uint32_t>(crc32(0L, toDrive, 4096));
        if (crc != cdw14 || cdw15 != 0) return NvmeCompletion{0, kNvmeInvalidField};
        std::memcpy(configRecord.data(), toDrive, 4096);
        firmwareRevision = RecordedName();
        BuildIdentify();
        return NvmeCompletion{};
    }
    default:
        return NvmeCompletion{0, kNvmeInvalidOpcode};
    }
}

} // namespace sim
