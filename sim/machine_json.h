// Reading values from machine descriptions: numbers may be written as JSON numbers or as text
// ("0xF0F0", "4096"); byte strings as hex text.
#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Json = nlohmann::json;

uint64_t JsonNumber(const Json& value);
uint64_t JsonNumber(const Json& object, const char* key, uint64_t fallback);
std::string JsonText(const Json& object, const char* key, const std::string& fallback);
bool JsonFlag(const Json& object, const char* key, bool fallback);
// Bytes from hex text ("9BC4284920A1", blanks allowed) or from an array of numbers.
std::vector<uint8_t> JsonBytes(const Json& value);

// The two vendor replies both drive kinds give from a description's "vendor_info" and
// "geometry": reply A (valid mark, SoC id, NAND ids, internal version, FTL build number) and
// the common fields of reply B (layout marker, given or markerDefault, pages, channels, chip
// enables, LUNs, planes). Both pages are 4096 bytes.
void FillVendorReplies(const Json& desc, std::vector<uint8_t>& vendorInfo, std::vector<uint8_t>& geometry,
                       uint16_t markerDefault);

} // namespace sim
