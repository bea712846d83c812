#pragma once
// Requests as a BOOTP client sends them, for tests.

#include <cstdint>
#include <vector>

#include "core/bootp_types.h"

namespace fybootp::testing {

// A 300-byte BOOTREQUEST from mac with the given xid and secs; chaddr bytes
// 6-15 carry a recognisable pattern, the flags field 0x8000.
std::vector<std::uint8_t> MakeRequest(const MacAddress& mac, std::uint32_t xid = 0x11223344,
                                      std::uint16_t secs = 0x0102);

// A device of the maker (02:4B:77:00:00:last) asking for its address on
// the loopback of the calling thread's network namespace. Whether the
// whole request was sent.
bool MakersDeviceAsksOnLoopback(std::uint8_t last);

// 192.0.2.x and 198.51.100.x in network byte order.
Ipv4Address Addr(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);

}  // namespace fybootp::testing
