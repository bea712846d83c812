#include "platform/com/type_library_tokens.h"

#include <cstdint>

namespace fybootp {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsPunct(char c) { return c == '(' || c == ')' || c == ',' || c == ':' || c == '*'; }

// Length of the well-formed UTF-8 sequence at text[i], or 0.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    std::uint32_t point = 0;
    std::uint32_t lowest = 0;
    if ((lead & 0xE0u) == 0xC0u) {
        length = 2;
        point = lead & 0x1Fu;
        lowest = 0x80;
    } else if ((lead & 0xF0u) == 0xE0u) {
        length = 3;
        point = lead & 0x0Fu;
        lowest = 0x800;
    } else if ((lead & 0xF8u) == 0xF0u) {
        length = 4;
        point = lead & 0x07u;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned next = byte(i + k);
        if ((next & 0xC0u) != 0x80u) return 0;
        point = (point << 6) | (next & 0x3Fu);
    }
    // No overlong forms, surrogates or points beyond Unicode.
    if (point < lowest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    return length;
}

// A string token starting at line[*i] == '"'.
std::optional<std::string> ReadString(std::string_view line, std::size_t* i, std::string* error) {
    std::string text;
    std::size_t pos = *i + 1;
    while (pos < line.size()) {
        const char c = line[pos];
        if (c == '"') {
            *i = pos + 1;
            return text;
        }
        if (c == '\\') {
            if (pos + 1 < line.size() && (line[pos + 1] == '"' || line[pos + 1] == '\\')) {
                text += line[pos + 1];
                pos += 2;
                continue;
            }
            *error = "unknown escape in string";
            return std::nullopt;
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            *error = "control character in string";
            return std::nullopt;
        }
        const std::size_t length = Utf8SequenceLength(line, pos);
        if (length == 0) {
            *error = "string is not UTF-8";
            return std::nullopt;
        }
        text.append(line.substr(pos, length));
        pos += length;
    }
    *error = "unterminated string";
    return std::nullopt;
}

}  // namespace

bool TokenizeTypeLibraryLine(std::string_view line, std::vector<TextToken>* tokens,
                             std::string* error) {
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (IsBlank(c)) {
            ++i;
        } else if (IsPunct(c)) {
            tokens->push_back({TextTokenKind::kPunct, std::string(1, c)});
            ++i;
        } else if (c == '"') {
            auto text = ReadString(line, &i, error);
            if (!text) return false;
            tokens->push_back({TextTokenKind::kString, std::move(*text)});
        } else {
            const std::size_t start = i;
            for (; i < line.size() && !IsBlank(line[i]) && !IsPunct(line[i]) && line[i] != '"';
                 ++i) {
                // Every word (keyword, name, GUID, number) is printable ASCII.
                const auto byte = static_cast<unsigned char>(line[i]);
                if (byte <= 0x20 || byte >= 0x7F) {
                    *error = "unexpected character outside a string";
                    return false;
                }
            }
            tokens->push_back({TextTokenKind::kWord, std::string(line.substr(start, i - start))});
        }
    }
    return true;
}

}  // namespace fybootp
