// The NVMe drive taking firmware: Firmware Image Download places pieces, Firmware Commit stages
// the downloaded image, and a controller reset activates a staged image when the drive's own
// reading of it (sim::ReadFirmwareImage) finds it whole. See docs/nvme-firmware.md.
#include "nvme_drive.h"

#include "bytes.h"
#include "firmware_image.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

// The largest image the drive holds; a piece reaching past it is refused.
constexpr uint64_t kMaxImageBytes = 64ull << 20;

// The text of a fixed field up to its first zero byte.
std::string FieldText(const std::vector<uint8_t>& page, size_t offset, size_t width) {
    std::string text;
    for (size_t i = 0; i < width && page[offset + i] != 0; ++i)
        text.push_back(static_cast<char>(page[offset + i]));
    return text;
}

// True when the ranges cover [0, size) without a gap.
bool CoversWhole(std::vector<std::pair<uint64_t, uint64_t>> ranges, uint64_t size) {
    std::sort(ranges.begin(), ranges.end());
    uint64_t reached = 0;
    for (const auto& r : ranges) {
        if (r.first > reached) return false;
        reached = std::max(reached, r.second);
    }
    return reached == size;
}

} // namespace

bool NvmeDrive::HasVendorInfo() const {
    return vendorCommands && vendorInfo[0] == 0x5A;
}

std::string NvmeDrive::RecordedName() const {
    return HasVendorInfo() ? FieldText(configRecord, 1064, 8) : FieldText(geometry, 88, 8);
}

NvmeCompletion NvmeDrive::FirmwareDownload(uint32_t nsid, uint32_t cdw10, uint32_t cdw11,
                                           const uint8_t* toDrive, uint32_t toLength) {
    // NUMD is 0's based: the data must be longer than NUMD dwords and fit in NUMD + 1, so a last
    // piece whose length is not a multiple of 4 is taken with its exact length.
    const uint64_t numd = cdw10;
    const uint64_t offset = static_cast<uint64_t>(cdw11) * 4;
    if (nsid != 0 || toDrive == nullptr || toLength == 0 || toLength <= numd * 4 ||
        toLength > (numd + 1) * 4 || offset + toLength > kMaxImageBytes)
        return NvmeCompletion{0, kNvmeInvalidField};
    if (offset == 0) { // a piece at offset 0 starts a new download
        download.clear();
        covered.clear();
    }
    if (download.size() < offset + toLength) download.resize(offset + toLength);
    std::memcpy(download.data() + offset, toDrive, toLength);
    covered.emplace_back(offset, offset + toLength);
    return NvmeCompletion{};
}

NvmeCompletion NvmeDrive::FirmwareCommit(uint32_t nsid, uint32_t cdw10) {
    const uint32_t slot = cdw10 & 7;
    const uint32_t action = (cdw10 >> 3) & 7;
    // Whatever the outcome, the download in progress is gone.
    std::vector<uint8_t> image;
    image.swap(download);
    const bool whole = CoversWhole(covered, image.size());
    covered.clear();
    if (nsid != 0 || (cdw10 & ~0x3Fu) != 0 || action != 1)
        return NvmeCompletion{0, kNvmeInvalidField};
    if (slot != 1) return NvmeCompletion{0, kNvmeInvalidFirmwareSlot};
    if (image.empty() || !whole) return NvmeCompletion{0, kNvmeInvalidFirmwareImage};
    staged.swap(image);
    activationPending = true;
    return NvmeCompletion{};
}

void NvmeDrive::ControllerReset() {
    download.clear();
    covered.clear();
    if (activationPending) {
        activationPending = false;
        const FirmwareImageFacts facts = ReadFirmwareImage(staged);
        if (facts.whole) {
            running.swap(staged);
            ++activations;
            lastActivation = "activated";
            PutText(vendorInfo, 32, 8, facts.internal_version);
            Put32(&vendorInfo[72], facts.ftl_build);
            if (facts.config_record.size() == configRecord.size())
                configRecord = facts.config_record;
        } else {
            lastActivation = "refused: " + facts.refusal;
        }
        staged.clear();
    }
    // A drive without a recorded name (no vendor information, no name in its NAND page) goes on
    // reporting the revision it had: a reset changes what it reports only through a name.
    const std::string recorded = RecordedName();
    if (!recorded.empty()) firmwareRevision = recorded;
    BuildIdentify();
}

} // namespace sim
