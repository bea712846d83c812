#include "tools/fybootpctl/terminal_text.h"

#include <cstdio>

namespace fybootp::tools {
namespace {

// Marks a byte that does not begin a well-formed UTF-8 sequence.
constexpr char32_t kNotUtf8 = 0xFFFFFFFF;
constexpr char32_t kReplacement = 0xFFFD;

struct Character {
    char32_t point = kNotUtf8;
    std::size_t length = 1;
};

// The character at the front of a non-empty text. Overlong forms,
// surrogates and points above U+10FFFF are not UTF-8 (RFC 3629).
Character NextCharacter(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    if (lead < 0xC2 || lead > 0xF4) return {};
    // The lead byte gives the length and the first bits.
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (text.size() < length) return {};
    char32_t point = lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) return {};
        point = (point << 6) | (byte(i) & 0x3Fu);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return {};
    }
    return {point, length};
}

bool NeedsEscape(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == kNotUtf8;
}

void AppendFormatted(std::string& out, const char* format, char32_t value) {
    char buffer[16];
    const int length = std::snprintf(buffer, sizeof(buffer), format, static_cast<unsigned>(value));
    out.append(buffer, static_cast<std::size_t>(length));
}

bool Plain(unsigned char c) { return c > 0x20 && c < 0x7F && c != '\\'; }

// Walks the text by characters: escape(out, character, offset) writes a
// character's escape and returns true, or returns false to have it copied.
template <typename Escape>
std::string Escaped(std::string_view text, Escape escape) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        // Visible ASCII other than the backslash is copied by every form
        // below, and changes none of their state: a run of it at once.
        std::size_t run = at;
        while (run < text.size() && Plain(static_cast<unsigned char>(text[run]))) ++run;
        if (run > at) {
            out.append(text.substr(at, run - at));
            at = run;
            continue;
        }
        const Character c = NextCharacter(text.substr(at));
        if (!escape(out, c.point, at)) out.append(text.substr(at, c.length));
        at += c.length;
    }
    return out;
}

// White space as a serialiser lays out XML with; a CR is never layout.
bool IsLayoutBlank(char32_t c) { return c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

std::string TerminalText(std::string_view text) {
    return Escaped(text, [&](std::string& out, char32_t c, std::size_t at) {
        switch (c) {
            // Doubled, so that a "\n" in the text cannot pass for an escape.
            case '\\':
                out += "\\\\";
                return true;
            case '\n':
                out += "\\n";
                return true;
            case '\r':
                out += "\\r";
                return true;
            case '\t':
                out += "\\t";
                return true;
            default:
                break;
        }
        if (!NeedsEscape(c)) return false;
        if (c == kNotUtf8) {
            AppendFormatted(out, "\\x%02x", static_cast<unsigned char>(text[at]));
        } else {
            AppendFormatted(out, c < 0x80 ? "\\x%02x" : "\\u%04x", c);
        }
        return true;
    });
}

std::string TerminalXml(std::string_view xml) {
    std::size_t runEnd = 0;  // where the white space run around the offset ends
    bool layout = false;     // whether that run stands between '>' and '<'
    return Escaped(xml, [&](std::string& out, char32_t c, std::size_t at) {
        if (IsLayoutBlank(c) && at >= runEnd) {
            runEnd = at;
            while (runEnd < xml.size() && IsLayoutBlank(static_cast<unsigned char>(xml[runEnd]))) {
                ++runEnd;
            }
            layout =
                (at == 0 || xml[at - 1] == '>') && (runEnd == xml.size() || xml[runEnd] == '<');
        }
        if ((c == '\n' || c == '\t') && layout) return false;
        if (!NeedsEscape(c)) return false;
        AppendFormatted(out, "&#x%X;", c == kNotUtf8 ? kReplacement : c);
        return true;
    });
}

std::string TerminalJson(std::string_view json) {
    return Escaped(json, [](std::string& out, char32_t c, std::size_t) {
        if (!NeedsEscape(c)) return false;
        AppendFormatted(out, "\\u%04x", c == kNotUtf8 ? kReplacement : c);
        return true;
    });
}

}  // namespace fybootp::tools
