#include "platform/com/guid.h"

#include <cstdio>

namespace fybootp {

std::size_t GuidHash::operator()(const GUID& guid) const noexcept {
    // FNV-1a over the fields; GUIDs are already well spread, this only has
    // to mix all sixteen bytes.
    std::uint64_t hash = 14695981039346656037ull;
    auto mix = [&hash](std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            hash ^= (value >> (8 * i)) & 0xFFu;
            hash *= 1099511628211ull;
        }
    };
    mix(guid.Data1, 4);
    mix(guid.Data2, 2);
    mix(guid.Data3, 2);
    for (std::uint8_t byte : guid.Data4) mix(byte, 1);
    return static_cast<std::size_t>(hash);
}

std::string GuidToString(const GUID& guid) {
    char text[kGuidTextLength + 1];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                  static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::string(text, kGuidTextLength);
}

HRESULT GuidFromString(std::string_view text, GUID* guid) {
    if (guid == nullptr) return E_POINTER;
    const auto parsed = ParseGuid(text);
    *guid = parsed.value_or(IID_NULL);
    return parsed ? S_OK : E_INVALIDARG;
}

}  // namespace fybootp
