#pragma once
// GUIDs (interface, class and library identities) and their registry text
// form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"

namespace fybootp {

// The COM layout: the first three groups of the text are numbers, the last
// eight bytes are written in storage order.
struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID&, const GUID&) = default;
    friend constexpr auto operator<=>(const GUID&, const GUID&) = default;
};

using IID = GUID;
using CLSID = GUID;

struct GuidHash {
    std::size_t operator()(const GUID& guid) const noexcept;
};

// Length of the registry form including both braces.
constexpr std::size_t kGuidTextLength = 38;

namespace guid_detail {

constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at `pos`; nullopt if any is not a hex digit.
constexpr std::optional<std::uint32_t> ReadHex(std::string_view text, std::size_t pos,
                                               std::size_t digits) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int digit = HexValue(text[pos + i]);
        if (digit < 0) return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return value;
}

}  // namespace guid_detail

// Accepts exactly the registry form, braces included, hex digits in either
// case; nothing may precede or follow it.
constexpr std::optional<GUID> ParseGuid(std::string_view text) {
    using guid_detail::ReadHex;
    if (text.size() != kGuidTextLength || text.front() != '{' || text.back() != '}') {
        return std::nullopt;
    }
    if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') {
        return std::nullopt;
    }
    const auto data1 = ReadHex(text, 1, 8);
    const auto data2 = ReadHex(text, 10, 4);
    const auto data3 = ReadHex(text, 15, 4);
    if (!data1 || !data2 || !data3) return std::nullopt;
    GUID guid{*data1, static_cast<std::uint16_t>(*data2), static_cast<std::uint16_t>(*data3), {}};
    // Bytes 0-1 stand before the fourth dash, bytes 2-7 after it.
    constexpr std::size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (std::size_t i = 0; i < 8; ++i) {
        const auto byte = ReadHex(text, kBytePos[i], 2);
        if (!byte) return std::nullopt;
        guid.Data4[i] = static_cast<std::uint8_t>(*byte);
    }
    return guid;
}

// For identities fixed in the source: a malformed text fails to compile.
consteval GUID GuidLiteral(std::string_view text) {
    const auto guid = ParseGuid(text);
    if (!guid) throw "malformed GUID literal";
    return *guid;
}

// The registry form in upper case.
std::string GuidToString(const GUID& guid);

// CLSIDFromString-like: S_OK and the GUID, or E_INVALIDARG (and IID_NULL
// in *guid) for any text that is not exactly the registry form; E_POINTER
// without a destination.
HRESULT GuidFromString(std::string_view text, GUID* guid);

inline constexpr GUID IID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_IUnknown = GuidLiteral("{00000000-0000-0000-C000-000000000046}");
inline constexpr IID IID_IClassFactory = GuidLiteral("{00000001-0000-0000-C000-000000000046}");
inline constexpr IID IID_IDispatch = GuidLiteral("{00020400-0000-0000-C000-000000000046}");
inline constexpr IID IID_ITypeInfo = GuidLiteral("{00020401-0000-0000-C000-000000000046}");
inline constexpr IID IID_ITypeLib = GuidLiteral("{00020402-0000-0000-C000-000000000046}");
inline constexpr IID IID_ISupportErrorInfo = GuidLiteral("{DF0B3D60-548F-101B-8E65-08002B2BD119}");

}  // namespace fybootp
