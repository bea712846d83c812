#include "tests/support/bootp_test_messages.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace fybootp::testing {

std::vector<std::uint8_t> MakeRequest(const MacAddress& mac, std::uint32_t xid,
                                      std::uint16_t secs) {
    std::vector<std::uint8_t> r(300, 0);
    r[0] = 1;  // BOOTREQUEST
    r[1] = 1;
    r[2] = 6;
    r[3] = 0;
    r[4] = static_cast<std::uint8_t>(xid >> 24);
    r[5] = static_cast<std::uint8_t>(xid >> 16);
    r[6] = static_cast<std::uint8_t>(xid >> 8);
    r[7] = static_cast<std::uint8_t>(xid);
    r[8] = static_cast<std::uint8_t>(secs >> 8);
    r[9] = static_cast<std::uint8_t>(secs);
    r[10] = 0x80;  // broadcast flag of later revisions; never echoed
    std::copy(mac.begin(), mac.end(), r.begin() + 28);
    for (std::size_t i = 6; i < 16; ++i) r[28 + i] = static_cast<std::uint8_t>(0xA0 + i);
    r[236] = 99;
    r[237] = 130;
    r[238] = 83;
    r[239] = 99;
    r[240] = 255;
    return r;
}

Ipv4Address Addr(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t bytes[4] = {a, b, c, d};
    Ipv4Address address;
    std::copy_n(bytes, 4, reinterpret_cast<std::uint8_t*>(&address));
    return address;
}

bool MakersDeviceAsksOnLoopback(std::uint8_t last) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(67);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto request = MakeRequest(MacAddress{0x02, 0x4B, 0x77, 0x00, 0x00, last});
    const ssize_t sent =
        sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    close(fd);
    return sent == static_cast<ssize_t>(request.size());
}

}  // namespace fybootp::testing
