#include "platform/net/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fybootp::net {
namespace {

constexpr int kReceiveBufferBytes = 1 << 20;

class UdpSocket final : public DatagramSocket {
public:
    explicit UdpSocket(int fd) : m_fd(fd) {}
    ~UdpSocket() override { ::close(m_fd); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    ReceiveResult Receive(std::span<std::uint8_t> buffer) override {
        sockaddr_in from{};
        iovec iov{buffer.data(), buffer.size()};
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);

        ReceiveResult result;
        // MSG_TRUNC makes the call report the datagram's real length.
        const ssize_t n = ::recvmsg(m_fd, &msg, MSG_TRUNC);
        if (n < 0) {
            result.error = errno;
            return result;
        }
        result.length = static_cast<std::size_t>(n);
        result.truncated = (msg.msg_flags & MSG_TRUNC) != 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof(info));
                result.interfaceIndex = info.ipi_ifindex;
            }
        }
        return result;
    }

    int SendBroadcast(std::span<const std::uint8_t> bytes, std::uint16_t port,
                      int interfaceIndex) override {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        iovec iov{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof(to);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        if (interfaceIndex > 0) {
            // A limited broadcast otherwise follows the default route, which on
            // a machine with an office and an automation card is the wrong one.
            msg.msg_control = control;
            msg.msg_controllen = sizeof(control);
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info{};
            info.ipi_ifindex = interfaceIndex;
            std::memcpy(CMSG_DATA(c), &info, sizeof(info));
        }
        // Never blocks: a full send buffer gives EAGAIN at once.
        return ::sendmsg(m_fd, &msg, MSG_DONTWAIT) < 0 ? errno : 0;
    }

    int Shutdown() override {
        // On an unconnected UDP socket the kernel answers ENOTCONN but still
        // marks the socket shut down and wakes the blocked receiver.
        if (::shutdown(m_fd, SHUT_RDWR) < 0 && errno != ENOTCONN) return errno;
        return 0;
    }

private:
    int m_fd;
};

}  // namespace

OpenResult OpenBroadcastServerSocket(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return {nullptr, errno};
    const int on = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    // Room for about 1,500 requests: a short stall of the receive thread
    // (a client replacing a large table) must not drop devices' requests.
    // A privileged server may pass net.core.rmem_max; otherwise the kernel
    // caps the size there, and a smaller buffer still works.
    const int receiveBuffer = kReceiveBufferBytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof(receiveBuffer)) < 0) {
        (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) < 0) {
        const int error = errno;
        ::close(fd);
        return {nullptr, error};
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) < 0) {
        const int error = errno;
        ::close(fd);
        return {nullptr, error};
    }
    return {std::make_unique<UdpSocket>(fd), 0};
}

}  // namespace fybootp::net
