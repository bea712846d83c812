#include "tests/e2e/udp_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fybootp::testing {

UdpClient::UdpClient(std::uint16_t localPort) {
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return;
    const int on = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(localPort);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) < 0) {
        close(m_fd);
        m_fd = -1;
    }
}

UdpClient::~UdpClient() {
    if (m_fd >= 0) close(m_fd);
}

bool UdpClient::SendBroadcast(const std::vector<std::uint8_t>& bytes, std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                  sizeof(to)) == static_cast<ssize_t>(bytes.size());
}

std::optional<ReceivedDatagram> UdpClient::Receive(int timeoutMs) {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    ReceivedDatagram d;
    d.bytes.resize(2048);
    sockaddr_in from{};
    socklen_t fromLength = sizeof(from);
    const ssize_t n = recvfrom(m_fd, d.bytes.data(), d.bytes.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return std::nullopt;
    d.bytes.resize(static_cast<std::size_t>(n));
    d.sourcePort = ntohs(from.sin_port);
    d.sourceAddress = from.sin_addr.s_addr;
    return d;
}

}  // namespace fybootp::testing
