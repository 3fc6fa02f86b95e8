#include "machine_json.h"

#include "sim.h"

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

} // namespace sim
