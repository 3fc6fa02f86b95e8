#include "sata/image_record.h"

#include "base/bytes.h"
#include "base/log.h"
#include "base/text.h"
#include "disk/transport.h"

#include <array>
#include <cstring>

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint32_t kRegionTableEnd = 80;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x77073096u && kCrcTable[255] == 0x2D02EF8Du);

bool IsKeep(const char16_t* name) {
    return name != nullptr && WCompareNoCase(name, u"KEEP") == 0;
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct PageRange {
    uint64_t first;
    uint64_t last;
};

bool Overlaps(PageRange a, PageRange b) {
    return a.first <= b.last && b.first <= a.last;
}

// Why the image's layout cannot be merged, or nullptr when it can.
const char16_t* LayoutFault(const uint8_t* image, uint32_t size, PageRange regions[3]) {
    if (size < kRegionTableEnd) return u"image shorter than its header";
    for (int r = 0; r < 3; ++r) {
        regions[r] = {Le32(image + 16 + 8 * r), Le32(image + 20 + 8 * r)};
        if (regions[r].first > regions[r].last) return u"region first page after its last";
        if ((regions[r].last + 1) * kPage > size) return u"region outside the image";
    }
    const PageRange check = {regions[2].last + 1, regions[2].last + 1};
    if ((check.last + 1) * kPage > size) return u"check page outside the image";
    const PageRange changed = {regions[2].first, check.last};
    if (Overlaps(changed, {0, 0}) || Overlaps(changed, regions[0]) || Overlaps(changed, regions[1]))
        return u"region 2 or check page overlaps the header or regions 0-1";
    return nullptr;
}

uint32_t CrcOfPages(const uint8_t* image, PageRange range, uint32_t crc) {
    // Region bounds were checked against a 32-bit size, so each range fits 32 bits.
    return Crc32(image + range.first * kPage,
                 static_cast<uint32_t>((range.last - range.first + 1) * kPage), crc);
}

} // namespace

uint32_t Crc32(const void* data, uint32_t length, uint32_t previous) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t value = ~previous;
    for (uint32_t i = 0; i < length; ++i)
        value = (value >> 8) ^ kCrcTable[(value ^ p[i]) & 0xFF];
    return ~value;
}

int32_t SetVendorFwName(VendorConfigRecord* record, const char16_t* name, uint32_t* crc) {
    if (IsKeep(name)) return 0;
    char ansi[128] = {};
    if (name != nullptr) WideToAnsi(name, -1, ansi, sizeof(ansi));
    uint8_t* field = record->bytes + kVendorFwNameOffset;
    if (std::memcmp(field, ansi, kVendorFwNameBytes) == 0) return 0;
    std::memcpy(field, ansi, kVendorFwNameBytes);
    if (crc != nullptr) *crc = Crc32(record->bytes, kVendorRecordBytes, 0);
    return 1;
}

int32_t MergeVendorConfigIntoImage(uint8_t* image, uint32_t size, const VendorConfigRecord* record,
                                   const char16_t* name) {
    if (size < 4 || std::memcmp(image, "CMFG", 4) != 0) {
        LogDetail(u"Not Config FW");
        return kFwOk;
    }
    PageRange regions[3] = {};
    if (const char16_t* fault = LayoutFault(image, size, regions)) {
        LogLine(u"Config FW refused : %s", fault);
        return kFwRequestFailed;
    }
    static const uint8_t kZeros[kPage - kRegionTableEnd] = {};
    uint32_t crc = Crc32(image, kRegionTableEnd, 0);
    crc = Crc32(kZeros, sizeof(kZeros), crc);
    crc = CrcOfPages(image, regions[0], crc);
    crc = CrcOfPages(image, regions[1], crc);
    auto* page = reinterpret_cast<VendorConfigRecord*>(image + regions[2].first * kPage);
    std::memcpy(page->bytes, record->bytes, kVendorRecordBytes);
    if (!IsKeep(name)) SetVendorFwName(page, name, nullptr);
    crc = CrcOfPages(image, regions[2], crc);
    uint8_t* check = image + (regions[2].last + 1) * kPage;
    Put32(check + 8, 0);
    Put32(check + 12, crc);
    return kFwOk;
}
