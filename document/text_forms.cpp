#include "document/text_forms.h"

namespace fybootp {
namespace {

constexpr std::size_t kHardwareAddressDigits = 12;

int NibbleOf(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::size_t ParseHexBytes(std::string_view text, std::span<std::uint8_t> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (2 * i + 1 >= text.size()) return 0;
        const int high = NibbleOf(text[2 * i]);
        const int low = NibbleOf(text[2 * i + 1]);
        if (high < 0 || low < 0) return 0;
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return out.size();
}

std::string HexText(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0Fu]);
    }
    return text;
}

std::optional<MacAddress> ReadHardwareAddress(std::string_view text) {
    // Length in bytes: a text of 12 bytes that is not 12 ASCII characters
    // holds a byte that is no hex digit and fails below anyway.
    if (text.size() != kHardwareAddressDigits) return std::nullopt;
    MacAddress mac{};
    if (ParseHexBytes(text, mac) != mac.size()) return std::nullopt;
    return mac;
}

}  // namespace fybootp
