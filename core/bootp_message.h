#pragma once
// The BOOTP message (RFC 951) with the RFC 1497 vendor area, as this server
// reads requests and writes replies. Every message is exactly 300 bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/bootp_types.h"

namespace fybootp::bootp {

constexpr std::size_t kOpOffset = 0;
constexpr std::size_t kHtypeOffset = 1;
constexpr std::size_t kHlenOffset = 2;
constexpr std::size_t kHopsOffset = 3;
constexpr std::size_t kXidOffset = 4;
constexpr std::size_t kXidSize = 4;
constexpr std::size_t kSecsOffset = 8;
constexpr std::size_t kSecsSize = 2;
constexpr std::size_t kUnusedOffset = 10;  // flags in later revisions
constexpr std::size_t kCiaddrOffset = 12;
constexpr std::size_t kYiaddrOffset = 16;
constexpr std::size_t kSiaddrOffset = 20;
constexpr std::size_t kGiaddrOffset = 24;
constexpr std::size_t kChaddrOffset = 28;
constexpr std::size_t kChaddrSize = 16;
constexpr std::size_t kSnameOffset = 44;
constexpr std::size_t kSnameSize = 64;
constexpr std::size_t kFileOffset = 108;
constexpr std::size_t kFileSize = 128;
constexpr std::size_t kVendOffset = 236;
constexpr std::size_t kVendSize = 64;
constexpr std::size_t kMessageSize = 300;

static_assert(kSnameOffset == kChaddrOffset + kChaddrSize);
static_assert(kFileOffset == kSnameOffset + kSnameSize);
static_assert(kVendOffset == kFileOffset + kFileSize);
static_assert(kMessageSize == kVendOffset + kVendSize);

constexpr std::uint8_t kBootRequest = 1;
constexpr std::uint8_t kBootReply = 2;
constexpr std::uint8_t kHtypeEthernet = 1;
constexpr std::uint8_t kHlenEthernet = 6;

// Vendor area of every reply (RFC 1497): cookie, option 1 (subnet mask),
// option 3 (router), end. Both options are always sent, even when zero.
constexpr std::array<std::uint8_t, 4> kMagicCookie = {99, 130, 83, 99};
constexpr std::size_t kMaskOptionOffset = 240;
constexpr std::size_t kRouterOptionOffset = 246;
constexpr std::size_t kEndOptionOffset = 252;
constexpr std::uint8_t kOptionSubnetMask = 1;
constexpr std::uint8_t kOptionRouter = 3;
constexpr std::uint8_t kOptionEnd = 255;
static_assert(kMaskOptionOffset == kVendOffset + kMagicCookie.size());
static_assert(kRouterOptionOffset == kMaskOptionOffset + 6);
static_assert(kEndOptionOffset == kRouterOptionOffset + 6);

using Message = std::array<std::uint8_t, kMessageSize>;

// What the reply says about the server itself.
struct ReplyIdentity {
    std::string_view hostName;  // cut to 63 bytes in sname
    Ipv4Address ipAddr = 0;
    Ipv4Address subnetMask = 0;
    Ipv4Address defaultGateway = 0;
};

// A datagram is a request to handle exactly when it is 300 bytes long and
// its op is BOOTREQUEST; htype and hlen are not checked.
bool IsBootRequest(std::span<const std::uint8_t> datagram);

// The client's hardware address: chaddr bytes 0-5. Only for a recognised request.
MacAddress ClientHardwareAddress(std::span<const std::uint8_t, kMessageSize> request);

// Builds the reply into out, which is cleared first.
void BuildReply(std::span<const std::uint8_t, kMessageSize> request, Ipv4Address yourAddress,
                const ReplyIdentity& server, Message& out);

}  // namespace fybootp::bootp
