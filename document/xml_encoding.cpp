#include "document/xml_encoding.h"

#include <libxml/encoding.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

namespace fybootp::xml {
namespace {

enum class Layout { kBytes, kUtf16Le, kUtf16Be, kRefused };

// libxml2's own guess from the first bytes, so that both read the same way.
Layout DetectLayout(std::string_view bytes) {
    const auto* start = reinterpret_cast<const unsigned char*>(bytes.data());
    const int length = static_cast<int>(std::min<std::size_t>(bytes.size(), 4));
    switch (xmlDetectCharEncoding(start, length)) {
        case XML_CHAR_ENCODING_UTF16LE:
            return Layout::kUtf16Le;
        case XML_CHAR_ENCODING_UTF16BE:
            return Layout::kUtf16Be;
        case XML_CHAR_ENCODING_UCS4LE:
        case XML_CHAR_ENCODING_UCS4BE:
        case XML_CHAR_ENCODING_UCS4_2143:
        case XML_CHAR_ENCODING_UCS4_3412:
        case XML_CHAR_ENCODING_EBCDIC:
            return Layout::kRefused;
        default:
            return Layout::kBytes;
    }
}

// The first characters of bytes as ASCII, anything else as 0x80; enough to
// read a declaration, which is ASCII in every accepted encoding.
std::string AsciiPrefix(std::string_view bytes, Layout layout) {
    constexpr std::size_t kMaxUnits = 1024;
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    std::string prefix;
    if (layout == Layout::kBytes) {
        if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
        for (std::size_t i = 0; i < bytes.size() && i < kMaxUnits; ++i) {
            prefix.push_back(byte(i) < 0x80 ? static_cast<char>(byte(i)) : '\x80');
        }
        return prefix;
    }
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) bytes.remove_prefix(2);
    for (std::size_t i = 0; i + 1 < bytes.size() && i / 2 < kMaxUnits; i += 2) {
        const std::uint8_t low = layout == Layout::kUtf16Le ? byte(i) : byte(i + 1);
        const std::uint8_t high = layout == Layout::kUtf16Le ? byte(i + 1) : byte(i);
        prefix.push_back(high == 0 && low < 0x80 ? static_cast<char>(low) : '\x80');
    }
    return prefix;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The pseudo-attributes of a declaration, "name = 'value'" separated by
// blanks; returns false when they do not have that shape.
bool ReadPseudoAttributes(std::string_view text, std::string& encoding) {
    std::size_t i = 0;
    const auto skipBlanks = [&] {
        while (i < text.size() && IsBlank(text[i])) ++i;
    };
    for (;;) {
        skipBlanks();
        if (i == text.size()) return true;
        const std::size_t nameStart = i;
        while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) ++i;
        const std::string_view name = text.substr(nameStart, i - nameStart);
        skipBlanks();
        if (name.empty() || i == text.size() || text[i] != '=') return false;
        ++i;
        skipBlanks();
        if (i == text.size() || (text[i] != '"' && text[i] != '\'')) return false;
        const std::size_t close = text.find(text[i], i + 1);
        if (close == std::string_view::npos) return false;
        if (name == "encoding") encoding = text.substr(i + 1, close - i - 1);
        i = close + 1;
    }
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

// A name, then a decimal number within [low, high].
bool IsNumbered(std::string_view name, std::string_view stem, int low, int high) {
    if (name.size() <= stem.size() || !EqualsIgnoringCase(name.substr(0, stem.size()), stem)) {
        return false;
    }
    int number = 0;
    for (const char c : name.substr(stem.size())) {
        if (c < '0' || c > '9' || number > 99999) return false;
        number = number * 10 + (c - '0');
    }
    return number >= low && number <= high && name[stem.size()] != '0';
}

// Encodings in which every ASCII character is its own byte (or, for UTF-16,
// its own code unit).
bool IsAcceptedEncoding(std::string_view name) {
    constexpr std::array<std::string_view, 9> kNames = {
        "UTF-8", "UTF8", "UTF-16", "UTF16", "UTF-16LE", "UTF-16BE", "US-ASCII", "ASCII", "LATIN1"};
    for (const std::string_view accepted : kNames) {
        if (EqualsIgnoringCase(name, accepted)) return true;
    }
    return IsNumbered(name, "ISO-8859-", 1, 16) || IsNumbered(name, "WINDOWS-", 1250, 1258) ||
           IsNumbered(name, "CP", 1250, 1258);
}

}  // namespace

DeclaredEncoding ReadDeclaredEncoding(std::string_view bytes) {
    DeclaredEncoding result;
    const Layout layout = DetectLayout(bytes);
    if (layout == Layout::kRefused) {
        result.readable = false;
        return result;
    }
    const std::string prefix = AsciiPrefix(bytes, layout);
    if (prefix.size() < 6 || !prefix.starts_with("<?xml") || !IsBlank(prefix[5])) return result;
    const std::size_t end = prefix.find("?>");
    result.readable =
        end != std::string::npos &&
        ReadPseudoAttributes(std::string_view(prefix).substr(5, end - 5), result.name);
    return result;
}

bool FileEncodingAccepted(std::string_view bytes) {
    // In a byte encoding a zero byte is U+0000, which XML forbids; libxml2
    // would take it for the end of the file.
    if (DetectLayout(bytes) == Layout::kBytes && bytes.find('\0') != std::string_view::npos) {
        return false;
    }
    const DeclaredEncoding declared = ReadDeclaredEncoding(bytes);
    return declared.readable && (declared.name.empty() || IsAcceptedEncoding(declared.name));
}

std::size_t BytesPerAsciiCharacter(std::string_view bytes) {
    const Layout layout = DetectLayout(bytes);
    return layout == Layout::kUtf16Le || layout == Layout::kUtf16Be ? 2 : 1;
}

}  // namespace fybootp::xml
