#include "firmware_image.h"

#include "bytes.h"

#include <stdexcept>

namespace sim {
namespace {

constexpr uint64_t kPage = 4096;
constexpr size_t kHeaderBytes = 16;    // magic, length, version text
constexpr size_t kRegionTableEnd = 80; // 8 entries of first/last page from byte 16
constexpr size_t kRecordNameAt = 1064;

bool IsCmfg(const std::vector<uint8_t>& image) {
    return image.size() >= 4 && image[0] == 'C' && image[1] == 'M' && image[2] == 'F' &&
           image[3] == 'G';
}

std::string VersionText(const std::vector<uint8_t>& image) {
    std::string text;
    for (size_t i = 8; i < 16 && image[i] != 0; ++i)
        text.push_back(static_cast<char>(image[i]));
    return text;
}

std::string Hex32(uint32_t v) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s = "0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        s.push_back(digits[(v >> shift) & 0xF]);
    return s;
}

// Filler that depends on a seed, so two images built with different versions differ in every
// region; it never holds a dot, so nothing in it looks like a version text.
uint8_t Filler(uint64_t i, uint32_t seed) {
    uint32_t x = static_cast<uint32_t>(i) * 2654435761u ^ seed;
    x ^= x >> 15;
    uint8_t b = static_cast<uint8_t>(x * 0x2C1B3C6Du >> 24);
    return b == 0x2E ? 0x2F : b;
}

FirmwareImageFacts ReadCmfg(const std::vector<uint8_t>& image, FirmwareImageFacts facts) {
    const uint64_t size = image.size();
    if (size < kRegionTableEnd) {
        facts.refusal =
            "CMFG image of " + std::to_string(size) + " bytes has no whole region table";
        return facts;
    }
    uint64_t first[3], last[3];
    for (int r = 0; r < 3; ++r) {
        first[r] = Le32(&image[16 + 8 * r]);
        last[r] = Le32(&image[20 + 8 * r]);
        const std::string name = "region " + std::to_string(r);
        if (first[r] == 0) {
            facts.refusal = name + " starts on the header page";
            return facts;
        }
        if (first[r] > last[r]) {
            facts.refusal = name + " starts after its last page";
            return facts;
        }
        if ((last[r] + 1) * kPage > size) {
            facts.refusal = name + " lies outside the image";
            return facts;
        }
    }
    const uint64_t checkAt = (last[2] + 1) * kPage;
    if (checkAt + kPage > size) {
        facts.refusal = "check page lies outside the image";
        return facts;
    }
    uint32_t crc = SimCrc32(image.data(), kRegionTableEnd);
    const std::vector<uint8_t> zeros(kPage - kRegionTableEnd, 0);
    crc = SimCrc32(zeros.data(), zeros.size(), crc);
    for (int r = 0; r < 3; ++r)
        crc = SimCrc32(&image[first[r] * kPage], (last[r] - first[r] + 1) * kPage, crc);
    if (Le32(&image[checkAt + 8]) != 0) {
        facts.refusal = "check page bytes 8-11 are not zero";
        return facts;
    }
    const uint32_t stored = Le32(&image[checkAt + 12]);
    if (stored != crc) {
        facts.refusal =
            "check value " + Hex32(stored) + " does not match the image's " + Hex32(crc);
        return facts;
    }
    facts.ftl_build = Le32(&image[checkAt + kPage - 8]);
    facts.config_record.assign(image.begin() + static_cast<std::ptrdiff_t>(first[2] * kPage),
                               image.begin() +
                                   static_cast<std::ptrdiff_t>(first[2] * kPage + kPage));
    facts.whole = true;
    return facts;
}

FirmwareImageFacts ReadPlain(const std::vector<uint8_t>& image, FirmwareImageFacts facts) {
    const size_t size = image.size();
    if (size < kHeaderBytes + 4) {
        facts.refusal =
            "plain image of " + std::to_string(size) + " bytes has no room for its check value";
        return facts;
    }
    const uint32_t crc = SimCrc32(image.data(), size - 4);
    const uint32_t stored = Le32(&image[size - 4]);
    if (stored != crc) {
        facts.refusal =
            "check value " + Hex32(stored) + " does not match the image's " + Hex32(crc);
        return facts;
    }
    facts.whole = true;
    return facts;
}

} // namespace

uint32_t SimCrc32(const uint8_t* data, size_t length, uint32_t previous) {
    uint32_t crc = ~previous;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

FirmwareImageFacts ReadFirmwareImage(const std::vector<uint8_t>& image) {
    FirmwareImageFacts facts;
    if (image.size() < kHeaderBytes) {
        facts.refusal =
            "image of " + std::to_string(image.size()) + " bytes is shorter than its header";
        return facts;
    }
    const uint32_t length = Le32(&image[4]);
    if (length != image.size()) {
        facts.refusal = "length field " + std::to_string(length) + " does not match the " +
                        std::to_string(image.size()) + " bytes received";
        return facts;
    }
    facts.internal_version = VersionText(image);
    facts = IsCmfg(image) ? ReadCmfg(image, facts) : ReadPlain(image, facts);
    if (!facts.whole) {
        facts.internal_version.clear();
        facts.ftl_build = 0;
        facts.config_record.clear();
    }
    return facts;
}

std::vector<uint8_t> MakeFirmwareImage(const FirmwareImageSpec& spec) {
    if (spec.internal_version.size() > 8)
        throw std::invalid_argument("version text longer than 8 characters");
    if (spec.size > 0xFFFFFFFFu) throw std::invalid_argument("image larger than 4 GiB");
    const uint32_t seed = SimCrc32(reinterpret_cast<const uint8_t*>(spec.internal_version.data()),
                                   spec.internal_version.size(), spec.ftl_build);
    std::vector<uint8_t> image(spec.size);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = Filler(i, seed);
    auto header = [&](const char* magic) {
        for (int i = 0; i < 4; ++i)
            image[static_cast<size_t>(i)] = static_cast<uint8_t>(magic[i]);
        Put32(&image[4], static_cast<uint32_t>(spec.size));
        PutText(image, 8, 8, spec.internal_version);
    };
    if (!spec.cmfg) {
        if (spec.size < kHeaderBytes + 4) throw std::invalid_argument("plain image under 20 bytes");
        header("PLNF");
        Put32(&image[spec.size - 4], SimCrc32(image.data(), spec.size - 4));
        return image;
    }
    if (spec.size % kPage != 0 || spec.size < 5 * kPage)
        throw std::invalid_argument("CMFG image must be a whole number of pages, at least 5");
    if (!spec.config_record.empty() && spec.config_record.size() != kPage)
        throw std::invalid_argument("configuration record must be 4096 bytes");
    const uint32_t pages = static_cast<uint32_t>(spec.size / kPage);
    header("CMFG");
    const uint32_t table[8][2] = {{1, pages - 4}, {pages - 3, pages - 3}, {pages - 2, pages - 2}};
    for (int r = 0; r < 8; ++r) {
        Put32(&image[16 + 8 * static_cast<size_t>(r)], table[r][0]);
        Put32(&image[20 + 8 * static_cast<size_t>(r)], table[r][1]);
    }
    uint8_t* record = &image[(pages - 2) * kPage];
    if (spec.config_record.empty()) {
        for (size_t i = 0; i < kPage; ++i)
            record[i] = static_cast<uint8_t>(i * 7 + 3);
        std::memcpy(record + kRecordNameAt, "IMAGEREC", 8);
    } else {
        std::memcpy(record, spec.config_record.data(), kPage);
    }
    uint8_t* check = &image[(pages - 1) * kPage];
    Put32(check + kPage - 8, spec.ftl_build);
    uint32_t crc = SimCrc32(image.data(), kRegionTableEnd);
    const std::vector<uint8_t> zeros(kPage - kRegionTableEnd, 0);
    crc = SimCrc32(zeros.data(), zeros.size(), crc);
    crc = SimCrc32(&image[kPage], (pages - 2) * kPage, crc); // regions 0, 1 and 2 in a row
    Put32(check + 8, 0);
    Put32(check + 12, crc);
    return image;
}

} // namespace sim
