#include "core/bootp_message.h"

#include <algorithm>
#include <cstring>

#include "core/text_cut.h"

namespace fybootp::bootp {
namespace {

void PutAddress(Message& out, std::size_t offset, Ipv4Address address) {
    // Already in network byte order: copied byte for byte.
    std::memcpy(out.data() + offset, &address, sizeof(address));
}

}  // namespace

bool IsBootRequest(std::span<const std::uint8_t> datagram) {
    return datagram.size() == kMessageSize && datagram[kOpOffset] == kBootRequest;
}

MacAddress ClientHardwareAddress(std::span<const std::uint8_t, kMessageSize> request) {
    MacAddress mac;
    std::copy_n(request.begin() + kChaddrOffset, mac.size(), mac.begin());
    return mac;
}

void BuildReply(std::span<const std::uint8_t, kMessageSize> request, Ipv4Address yourAddress,
                const ReplyIdentity& server, Message& out) {
    out.fill(0);
    out[kOpOffset] = kBootReply;
    out[kHtypeOffset] = kHtypeEthernet;
    out[kHlenOffset] = kHlenEthernet;
    // hops, the unused field after secs, ciaddr and giaddr stay 0.
    std::copy_n(request.begin() + kXidOffset, kXidSize, out.begin() + kXidOffset);
    std::copy_n(request.begin() + kSecsOffset, kSecsSize, out.begin() + kSecsOffset);
    PutAddress(out, kYiaddrOffset, yourAddress);
    PutAddress(out, kSiaddrOffset, server.ipAddr);
    std::copy_n(request.begin() + kChaddrOffset, kChaddrSize, out.begin() + kChaddrOffset);

    // sname is NUL-terminated: at most 63 bytes of name, the rest zero, and
    // never the first bytes of a character whose last ones do not fit.
    const std::size_t nameLength = CutLength(server.hostName, kSnameSize - 1);
    std::copy_n(server.hostName.begin(), nameLength, out.begin() + kSnameOffset);

    std::copy(kMagicCookie.begin(), kMagicCookie.end(), out.begin() + kVendOffset);
    out[kMaskOptionOffset] = kOptionSubnetMask;
    out[kMaskOptionOffset + 1] = 4;
    PutAddress(out, kMaskOptionOffset + 2, server.subnetMask);
    out[kRouterOptionOffset] = kOptionRouter;
    out[kRouterOptionOffset + 1] = 4;
    PutAddress(out, kRouterOptionOffset + 2, server.defaultGateway);
    out[kEndOptionOffset] = kOptionEnd;
}

}  // namespace fybootp::bootp
