#pragma once
// The records the server keeps: node table rows, recorded unknown addresses
// and log entries.

#include <array>
#include <cstdint>
#include <cstring>
#include <ctime>

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

// A log entry as a client reads it: a flat record of fixed-width fields.
// The texts are NUL-terminated 8-bit text.
struct LogRecord {
    char timeStamp[kTimeStampSize] = {};
    MacAddress macAddr{};
    char message[kLogMessageSize] = {};
};

// Which of the responder's two messages a log entry carries.
enum class LogMessage : std::uint8_t {
    kAddressAssigned,  // "IP Address '%s' assigned", with the entry's ipAddr
    kUnknownMaker,     // "Unknown Quellmar MAC address found"
};

// A log entry as the server keeps it: what its LogRecord is made from when
// the log is read. A full log holds 100,000 of these, so no text is kept.
struct LogEntry {
    std::time_t time = 0;  // when the entry was made
    MacAddress macAddr{};
    LogMessage message = LogMessage::kAddressAssigned;
    Ipv4Address ipAddr = 0;  // the address handed out; 0 for an unknown device
};
static_assert(sizeof(LogEntry) <= 24, "a log entry stays small");

// The 48 bits of a hardware address as one integer, first byte most
// significant, so that integer order is the byte-wise order of addresses.
constexpr std::uint64_t MacKey(const MacAddress& mac) {
    std::uint64_t key = 0;
    for (std::uint8_t b : mac) key = (key << 8) | b;
    return key;
}

}  // namespace fybootp
