#pragma once
// The text forms of values in the info vocabulary.
//  - Hardware address: 12 hexadecimal digits, two per byte in byte order,
//    high nibble first; written in upper case, read in either case. Any
//    other text (other length, separators, blanks) is not an address.
//  - IPv4 address: written as dotted decimal without leading zeros; read
//    with the classic inet_addr rules (net::InetAddr), whose error value
//    255.255.255.255 is used as it is.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/bootp_types.h"

namespace fybootp {

// Converts out.size() bytes from the first 2 * out.size() characters of
// text, each pair high nibble first. Returns out.size(), or 0 at the first
// character that is not a hex digit or when the text ends early; the bytes
// converted before that stay in out. Characters beyond 2 * out.size() are
// not looked at.
std::size_t ParseHexBytes(std::string_view text, std::span<std::uint8_t> out);

// Two upper-case hex digits per byte, in order, without separators.
std::string HexText(std::span<const std::uint8_t> bytes);

// A hardware address by the rule above, or nothing.
std::optional<MacAddress> ReadHardwareAddress(std::string_view text);

}  // namespace fybootp
