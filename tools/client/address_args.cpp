#include "tools/client/address_args.h"

#include <arpa/inet.h>

#include <array>
#include <cctype>
#include <cstring>
#include <initializer_list>

namespace fybootp::tools {
namespace {

constexpr std::size_t kMacBytes = 6;

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// Built by appending: g++ 12 at -O3 misreads `"..." + std::string` as an
// overlapping copy (-Wrestrict).
std::string Concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) text.append(part);
    return text;
}

std::string NotHex(char c) {
    return Concat({"'", std::string_view(&c, 1), "' is not a hex digit"});
}

std::string InPart(std::size_t part, std::string_view what) {
    return Concat({"part ", std::to_string(part), what});
}

// Twelve hex digits in a row, or pairs split by one separator.
std::optional<std::string> HexDigitsOf(std::string_view text, std::string* why) {
    if (text.size() == 2 * kMacBytes) {
        for (const char c : text) {
            if (!IsHex(c)) {
                *why = NotHex(c);
                return std::nullopt;
            }
        }
        return std::string(text);
    }
    if (text.size() != 3 * kMacBytes - 1) {
        *why = "expected 6 bytes as 02:4b:77:00:00:01, 02-4B-77-00-00-01 or 024b77000001";
        return std::nullopt;
    }
    const char separator = text[2];
    if (separator != ':' && separator != '-') {
        *why = "bytes are separated by ':' or '-'";
        return std::nullopt;
    }
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2) {
            if (text[i] != separator) {
                *why = Concat({"every byte is two hex digits, separated by the same '",
                               std::string_view(&separator, 1), "'"});
                return std::nullopt;
            }
        } else if (!IsHex(text[i])) {
            *why = NotHex(text[i]);
            return std::nullopt;
        } else {
            digits += text[i];
        }
    }
    return digits;
}

}  // namespace

std::optional<std::string> ParseMac(std::string_view text, std::string* why) {
    std::optional<std::string> digits = HexDigitsOf(text, why);
    if (!digits) return std::nullopt;
    for (char& c : *digits) c = Upper(c);
    return digits;
}

std::optional<std::int32_t> ParseIpv4(std::string_view text, std::string* why) {
    std::array<std::uint8_t, 4> bytes{};
    std::size_t part = 0;
    std::size_t at = 0;
    while (true) {
        std::size_t end = at;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0) ++end;
        const std::size_t length = end - at;
        if (length == 0 || length > 3) {
            *why = "expected four numbers 0-255 separated by dots, as 192.0.2.10";
            return std::nullopt;
        }
        if (length > 1 && text[at] == '0') {
            *why = InPart(part + 1, " has a leading zero");
            return std::nullopt;
        }
        const int value = std::stoi(std::string(text.substr(at, length)));
        if (value > 255) {
            *why = InPart(part + 1, " is over 255");
            return std::nullopt;
        }
        bytes[part++] = static_cast<std::uint8_t>(value);
        if (part == bytes.size()) {
            if (end != text.size()) {
                *why = "expected four numbers 0-255 separated by dots, as 192.0.2.10";
                return std::nullopt;
            }
            break;
        }
        if (end >= text.size() || text[end] != '.') {
            *why = "expected four numbers 0-255 separated by dots, as 192.0.2.10";
            return std::nullopt;
        }
        at = end + 1;
    }
    // The bytes in address order are the integer's bytes in memory order:
    // network byte order, as the interface keeps it.
    std::int32_t ipAddr = 0;
    std::memcpy(&ipAddr, bytes.data(), bytes.size());
    return ipAddr;
}

std::string Ipv4Text(std::int32_t ipAddr) {
    in_addr address{};
    std::memcpy(&address.s_addr, &ipAddr, sizeof(ipAddr));
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof(text));
    return text;
}

std::string MacDisplay(std::string_view interfaceForm) {
    if (interfaceForm.size() != 2 * kMacBytes) return std::string(interfaceForm);
    std::string text;
    for (std::size_t i = 0; i < interfaceForm.size(); i += 2) {
        if (!text.empty()) text += ':';
        text += Upper(interfaceForm[i]);
        text += Upper(interfaceForm[i + 1]);
    }
    return text;
}

}  // namespace fybootp::tools
