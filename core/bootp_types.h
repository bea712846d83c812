#pragma once
// The records the server keeps: node table rows, recorded unknown addresses
// and log entries.

#include <array>
#include <cstdint>
#include <cstring>

namespace fybootp {

// An Ethernet hardware address, raw bytes in wire order.
using MacAddress = std::array<std::uint8_t, 6>;

// An IPv4 address in network byte order, copied into messages byte for byte.
using Ipv4Address = std::uint32_t;

struct BootpNode {
    Ipv4Address ipAddr = 0;
    MacAddress macAddr{};
    friend bool operator==(const BootpNode&, const BootpNode&) = default;
};

// Same shape as a node row so that both tables share one element type.
using NewMacRecord = BootpNode;

constexpr std::size_t kTimeStampSize = 25;
constexpr std::size_t kLogMessageSize = 100;

// A flat record of fixed-width fields, copied as a whole. The texts are
// NUL-terminated 8-bit text.
struct LogRecord {
    char timeStamp[kTimeStampSize] = {};
    MacAddress macAddr{};
    char message[kLogMessageSize] = {};
};

// The 48 bits of a hardware address as one integer, first byte most
// significant, so that integer order is the byte-wise order of addresses.
constexpr std::uint64_t MacKey(const MacAddress& mac) {
    std::uint64_t key = 0;
    for (std::uint8_t b : mac) key = (key << 8) | b;
    return key;
}

}  // namespace fybootp
