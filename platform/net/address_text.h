#pragma once
// IPv4 address text forms with the semantics of the classic socket library:
// InetAddr accepts one to four parts, each decimal, octal (leading 0) or
// hexadecimal (leading 0x), and yields 255.255.255.255 for text it rejects;
// InetNtoa writes four decimal numbers without leading zeros.
// Addresses are 32-bit values in network byte order, as they travel.

#include <cstdint>
#include <string>
#include <string_view>

namespace fybootp::net {

constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;

std::uint32_t InetAddr(std::string_view text);
std::string InetNtoa(std::uint32_t networkOrder);

// Writes the dotted-decimal text with its NUL into out (at least 16 bytes)
// and returns its length; for the packet path, which must not allocate.
std::size_t InetNtoa(std::uint32_t networkOrder, char* out);

}  // namespace fybootp::net
