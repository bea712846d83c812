#pragma once
// A BOOTP client socket for end-to-end tests: port 68, broadcasts allowed,
// replies read with a time limit. Made in whatever namespace the calling
// thread is in.

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace fybootp::testing {

struct ReceivedDatagram {
    std::vector<std::uint8_t> bytes;
    std::uint16_t sourcePort = 0;
    std::uint32_t sourceAddress = 0;  // network order
};

class UdpClient {
public:
    explicit UdpClient(std::uint16_t localPort = 68);
    ~UdpClient();
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    bool Ok() const { return m_fd >= 0; }
    bool SendBroadcast(const std::vector<std::uint8_t>& bytes, std::uint16_t port = 67);
    std::optional<ReceivedDatagram> Receive(int timeoutMs);

private:
    int m_fd = -1;
};

}  // namespace fybootp::testing
