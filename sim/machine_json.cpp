#include "machine_json.h"

#include "bytes.h"
#include "sim.h"

#include <algorithm>

#include <stdexcept>

namespace sim {

uint64_t JsonNumber(const Json& value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_number_integer()) return static_cast<uint64_t>(value.get<int64_t>());
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        size_t used = 0;
        uint64_t v = std::stoull(text, &used, 0);
        if (used != text.size()) throw std::runtime_error("not a number: " + text);
        return v;
    }
    throw std::runtime_error("not a number: " + value.dump());
}

uint64_t JsonNumber(const Json& object, const char* key, uint64_t fallback) {
    if (!object.is_object() || !object.contains(key) || object[key].is_null()) return fallback;
    return JsonNumber(object[key]);
}

std::string JsonText(const Json& object, const char* key, const std::string& fallback) {
    if (!object.is_object() || !object.contains(key) || object[key].is_null()) return fallback;
    return object[key].get<std::string>();
}

bool JsonFlag(const Json& object, const char* key, bool fallback) {
    if (!object.is_object() || !object.contains(key) || object[key].is_null()) return fallback;
    return object[key].get<bool>();
}

std::vector<uint8_t> JsonBytes(const Json& value) {
    if (value.is_array()) {
        std::vector<uint8_t> out;
        for (const auto& v : value)
            out.push_back(static_cast<uint8_t>(JsonNumber(v)));
        return out;
    }
    return FromHex(value.get<std::string>());
}

void FillVendorReplies(const Json& desc, std::vector<uint8_t>& vendorInfo, std::vector<uint8_t>& geometry,
                       uint16_t markerDefault) {
    if (desc.contains("vendor_info")) {
        const Json& v = desc["vendor_info"];
        if (JsonFlag(v, "valid", true)) vendorInfo[0] = 0x5A;
        Put16(&vendorInfo[2], static_cast<uint16_t>(JsonNumber(v, "soc_id", 0)));
        if (v.contains("nand_ids")) {
            std::vector<uint8_t> ids = JsonBytes(v["nand_ids"]);
            std::copy_n(ids.begin(), std::min<size_t>(ids.size(), 6), vendorInfo.begin() + 16);
        }
        PutText(vendorInfo, 32, 8, JsonText(v, "version", ""));
        Put32(&vendorInfo[72], static_cast<uint32_t>(JsonNumber(v, "ftl_build", 0)));
    }
    if (desc.contains("geometry")) {
        const Json& g = desc["geometry"];
        Put16(&geometry[280], static_cast<uint16_t>(JsonNumber(g, "marker", markerDefault)));
        Put16(&geometry[288], static_cast<uint16_t>(JsonNumber(g, "pages", 0)));
        geometry[295] = static_cast<uint8_t>(JsonNumber(g, "channels", 0));
        geometry[296] = static_cast<uint8_t>(JsonNumber(g, "ce", 0));
        geometry[297] = static_cast<uint8_t>(JsonNumber(g, "luns", 0));
        geometry[298] = static_cast<uint8_t>(JsonNumber(g, "planes", 0));
    }
}

} // namespace sim
