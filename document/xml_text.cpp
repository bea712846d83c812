#include "document/xml_text.h"

#include <cstdint>

namespace fybootp::xml {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool IsXmlChar(char32_t c) {
    if (c < 0x20) return c == 0x09 || c == 0x0A || c == 0x0D;
    if (c < 0xD800) return true;
    if (c < 0xE000) return false;  // surrogates
    if (c <= 0xFFFD) return true;
    return c >= 0x10000 && c <= 0x10FFFF;
}

struct Sequence {
    std::size_t length = 0;  // 0: not well-formed UTF-8
    bool allowed = false;    // a character XML 1.0 allows
};

// The UTF-8 sequence that starts at text[i].
Sequence SequenceAt(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t lead = byte(i);
    std::size_t length = 0;
    char32_t c = 0;
    if (lead < 0x80) {
        length = 1;
        c = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07u;
    } else {
        return {};
    }
    if (i + length > text.size()) return {};
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) return {};
        c = (c << 6) | (byte(i + k) & 0x3Fu);
    }
    // Overlong forms of three and four bytes, surrogates and values past
    // U+10FFFF are not UTF-8; two-byte overlong forms fail the lead test.
    if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c < 0xE000)) {
        return {};
    }
    return {length, IsXmlChar(c)};
}

}  // namespace

std::string XmlSafeText(std::string_view text) {
    std::string safe;
    std::size_t copied = 0;  // text[0, copied) is in safe already
    std::size_t i = 0;
    while (i < text.size()) {
        const Sequence sequence = SequenceAt(text, i);
        if (sequence.allowed) {
            i += sequence.length;
            continue;
        }
        // A forbidden character is replaced whole, a broken sequence byte by
        // byte.
        safe.append(text.substr(copied, i - copied));
        safe.append(kReplacement);
        i += sequence.length != 0 ? sequence.length : 1;
        copied = i;
    }
    if (copied == 0) return std::string(text);
    safe.append(text.substr(copied));
    return safe;
}

}  // namespace fybootp::xml
