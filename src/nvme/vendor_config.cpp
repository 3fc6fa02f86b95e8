#include "nvme/vendor_config.h"

#include "base/text.h"
#include "nvme/nvme_transport.h"

#include <cstring>

namespace {

constexpr int32_t kOpVendorRead = 0xE6;
constexpr int32_t kOpVendorRecordWrite = 0xE5;
constexpr int32_t kOpGeometryRead = 0xF2;
constexpr int32_t kOpGeometryWrite = 0xF1;
constexpr uint32_t kSelectConfigRecord = 1;

bool AllZero(const uint8_t* bytes, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

} // namespace

int32_t ReadVendorConfigRecord(const TransportContext* context, PlatHandle drive, uint8_t* record) {
    std::memset(record, 0, kVendorRecordSize);
    const int32_t result =
        NVMeAdminCmd(context, drive, kDirFromDrive, kOpVendorRead, kSelectConfigRecord, 0,
                     kVendorSigDword14, kVendorSigDword15, record, kVendorRecordSize);
    if (result != kFwOk) return result;
    // A drive that rejected the read sent nothing: the buffer is still all zero.
    return AllZero(record, kVendorRecordSize) ? kFwRequestFailed : kFwOk;
}

int32_t WriteVendorConfigRecord(const TransportContext* context, PlatHandle drive, uint8_t* record,
                                uint32_t crc) {
    return NVMeAdminCmd(context, drive, kDirToDrive, kOpVendorRecordWrite, kSelectConfigRecord, 0,
                        crc, 0, record, kVendorRecordSize);
}

int32_t WriteVendorFwName(const TransportContext* context, PlatHandle drive, const char16_t* name) {
    uint8_t page[kVendorRecordSize];
    std::memset(page, 0, sizeof(page));
    int32_t result = NVMeAdminCmd(context, drive, kDirFromDrive, kOpGeometryRead, 0, 0,
                                  kVendorSigDword14, kVendorSigDword15, page, sizeof(page));
    if (result != kFwOk) return result;
    // Writing back a page the drive never sent would overwrite its first 144 bytes with zeros.
    if (AllZero(page, sizeof(page))) return kFwRequestFailed;

    uint8_t out[kVendorRecordSize];
    std::memset(out, 0, sizeof(out));
    std::memcpy(out, page, kVendorPageKeptBytes);
    char ansi[128];
    std::memset(ansi, 0, sizeof(ansi));
    WideToAnsi(name, -1, ansi, sizeof(ansi));
    std::memset(out + kVendorPageNameOffset, 0, kVendorPageNameSize);
    size_t length = std::strlen(ansi);
    if (length > kVendorPageNameSize) length = kVendorPageNameSize;
    std::memcpy(out + kVendorPageNameOffset, ansi, length);
    return NVMeAdminCmd(context, drive, kDirToDrive, kOpGeometryWrite, 0, 0, kVendorSigDword14,
                        kVendorSigDword15, out, sizeof(out));
}
