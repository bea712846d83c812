#pragma once
// Hardware and IPv4 addresses as operators type them. They are checked before
// any bus call, so that a typo is refused with a reason instead of reaching
// the server, which would take a malformed hardware address as "no address"
// and a malformed IPv4 text as 255.255.255.255 without a word.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fybootp::tools {

// 02:4b:77:00:00:01, 02-4B-77-00-00-01 or 024b77000001 (either case, one
// kind of separator throughout) as the interface's form, 12 upper-case hex
// digits; nullopt and the reason in *why otherwise.
std::optional<std::string> ParseMac(std::string_view text, std::string* why);

// Dotted decimal, four parts of 0 to 255 without leading zeros, as the
// interface's ipAddr: the address in network byte order held in an int32
// (192.168.1.10 is 0x0A01A8C0). nullopt and the reason in *why otherwise.
std::optional<std::int32_t> ParseIpv4(std::string_view text, std::string* why);

// The dotted form again, for messages.
std::string Ipv4Text(std::int32_t ipAddr);

// 024B77000001 as 02:4B:77:00:00:01; any other text as it is.
std::string MacDisplay(std::string_view interfaceForm);

}  // namespace fybootp::tools
