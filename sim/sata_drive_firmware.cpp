// The simulated SATA drive taking firmware: DOWNLOAD MICROCODE in offsets mode with save and
// immediate use (feature 3). Segments must come in order from block offset 0; the drive learns
// the image's length from its header and activates it when the segment that completes it
// arrives, if the image is whole by the drive's own reading (firmware_image.h).
#include "firmware_image.h"
#include "sata_drive.h"

#include "bytes.h"

namespace sim {
namespace {

const AtaResult kAborted{kAtaStatusError, 0x04};

std::string RecordName(const std::vector<uint8_t>& record) {
    std::string name;
    for (size_t i = 1064; i < 1072 && record[i] != 0; ++i)
        name.push_back(static_cast<char>(record[i]));
    return name;
}

} // namespace

void SataDrive::Discard(const std::string& why) {
    events.push_back("download discarded: " + why);
    pending.clear();
    segmentsReceived = 0;
}

void SataDrive::ShowRecordName() {
    firmwareRevision = RecordName(configRecord);
    uint8_t* id = identifyDevice.data();
    PutAtaString(id + 46, 8, firmwareRevision);
    uint8_t sum = 0;
    for (int i = 0; i < 511; ++i)
        sum = static_cast<uint8_t>(sum + id[i]);
    id[511] = static_cast<uint8_t>(-sum);
}

AtaResult SataDrive::DownloadMicrocode(const AtaRegisters& regs, const uint8_t* toDrive,
                                       uint32_t toLength) {
    // Only offsets mode with save and immediate use, as a 28-bit command with data out.
    if (regs.Features() != 3 || regs.is48 || toDrive == nullptr || toLength == 0 ||
        toLength % 512 != 0 || regs.current[5] != 0x40)
        return kAborted;
    // Block count: Sector Count bits 7-0, LBA Low bits 15-8; block offset: LBA Mid and High.
    const uint32_t blocks = regs.current[1] | (static_cast<uint32_t>(regs.current[2]) << 8);
    const uint64_t offset = regs.current[3] | (static_cast<uint64_t>(regs.current[4]) << 8);
    if (blocks != toLength / 512) {
        events.push_back("segment refused: block count " + std::to_string(blocks) + " for " +
                         std::to_string(toLength) + " bytes");
        return kAborted;
    }
    const uint64_t expected = pending.size() / 512;
    const bool opensDownload = offset == 0;
    const uint32_t segment = opensDownload ? 1 : segmentsReceived + 1;
    if (segmentFault.nth == segment && (opensDownload || offset == expected) &&
        (segmentFault.commands == 0 || segmentFault.fired < segmentFault.commands)) {
        ++segmentFault.fired;
        events.push_back("segment " + std::to_string(segment) + " failed on demand");
        return kAborted;
    }
    if (opensDownload) {
        if (!pending.empty()) events.push_back("download restarted at block offset 0");
        pending.clear();
        segmentsReceived = 0;
    } else if (offset != expected) {
        Discard("segment at block offset " + std::to_string(offset) + " where " +
                std::to_string(expected) + " was due");
        return kAborted;
    }
    pending.insert(pending.end(), toDrive, toDrive + toLength);
    ++segmentsReceived;
    if (pending.size() < 8) return AtaResult{};
    const uint64_t length = Le32(&pending[4]);
    if (pending.size() < length) return AtaResult{};
    if (pending.size() > length) {
        Discard("received " + std::to_string(pending.size()) + " bytes of an image of " +
                std::to_string(length));
        return kAborted;
    }
    const FirmwareImageFacts facts = ReadFirmwareImage(pending);
    if (!facts.whole) {
        Discard("image refused at activation: " + facts.refusal);
        return kAborted;
    }
    runningImage.swap(pending);
    pending.clear();
    segmentsReceived = 0;
    PutText(vendorInfo, 32, 8, facts.internal_version);
    Put32(&vendorInfo[72], facts.ftl_build);
    if (!facts.config_record.empty()) {
        configRecord = facts.config_record;
        ShowRecordName();
    }
    events.push_back("activated " + facts.internal_version + ", running name \"" +
                     firmwareRevision + "\"");
    return AtaResult{};
}

} // namespace sim
