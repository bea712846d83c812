#include "platform/net/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace fybootp::net {
namespace {

constexpr int kReceiveBufferBytes = 1 << 20;

struct Control {
    alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};

int ArrivalInterface(msghdr& msg) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof(info));
            return info.ipi_ifindex;
        }
    }
    return 0;
}

void SetDepartureInterface(msghdr& msg, Control& control, int interfaceIndex) {
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof(control.bytes);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = interfaceIndex;
    std::memcpy(CMSG_DATA(c), &info, sizeof(info));
}

class UdpSocket final : public DatagramSocket {
public:
    explicit UdpSocket(int fd) : m_fd(fd) {}
    ~UdpSocket() override { ::close(m_fd); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    ReceiveBatchResult ReceiveBatch(std::span<ReceiveSlot> slots) override {
        const std::size_t count = std::min(slots.size(), kMaxBatch);
        std::array<mmsghdr, kMaxBatch> messages{};
        std::array<iovec, kMaxBatch> iovs;
        std::array<Control, kMaxBatch> controls;
        for (std::size_t i = 0; i < count; ++i) {
            iovs[i] = {slots[i].buffer.data(), slots[i].buffer.size()};
            msghdr& msg = messages[i].msg_hdr;
            // The sender's address is not used: replies are broadcast.
            msg.msg_iov = &iovs[i];
            msg.msg_iovlen = 1;
            msg.msg_control = controls[i].bytes;
            msg.msg_controllen = sizeof(controls[i].bytes);
        }
        // MSG_WAITFORONE: block for the first datagram only, then take what
        // is already queued. MSG_TRUNC: report each datagram's real length.
        const int n = ::recvmmsg(m_fd, messages.data(), static_cast<unsigned>(count),
                                 MSG_WAITFORONE | MSG_TRUNC, nullptr);
        if (n < 0) return {errno, 0};
        const std::size_t received = static_cast<std::size_t>(n);
        for (std::size_t i = 0; i < received; ++i) {
            msghdr& msg = messages[i].msg_hdr;
            ReceiveSlot& slot = slots[i];
            slot.length = messages[i].msg_len;
            slot.truncated = (msg.msg_flags & MSG_TRUNC) != 0;
            slot.interfaceIndex = ArrivalInterface(msg);
        }
        return {0, received};
    }

    SendBatchResult SendBatch(std::span<const OutboundDatagram> datagrams,
                              std::uint16_t port) override {
        const std::size_t count = std::min(datagrams.size(), kMaxBatch);
        if (count == 0) return {};
        sockaddr_in to = BroadcastTo(port);
        // Replies of one size through one interface leave as one segmented
        // send: the kernel routes and builds one packet and cuts it into
        // the datagrams late, instead of doing all of it per reply.
        if (m_segmentation) {
            const std::size_t run = SameShapeRun(datagrams.first(count));
            if (run > 1) {
                const SendBatchResult result = SendSegmented(datagrams.first(run), to);
                if (result.sent > 0 || RetryLater(result.error)) return result;
                // Whatever else refused the segmented send, one send per reply
                // may still deliver them: the kernel then answers for each.
                if (SegmentationUnsupported(result.error)) m_segmentation = false;
            }
        }
        std::array<mmsghdr, kMaxBatch> messages{};
        std::array<iovec, kMaxBatch> iovs;
        std::array<Control, kMaxBatch> controls{};
        for (std::size_t i = 0; i < count; ++i) {
            iovs[i] = {const_cast<std::uint8_t*>(datagrams[i].bytes.data()),
                       datagrams[i].bytes.size()};
            msghdr& msg = messages[i].msg_hdr;
            msg.msg_name = &to;
            msg.msg_namelen = sizeof(to);
            msg.msg_iov = &iovs[i];
            msg.msg_iovlen = 1;
            // A limited broadcast otherwise follows the default route, which
            // on a machine with an office and an automation card is the wrong
            // one.
            if (datagrams[i].interfaceIndex > 0) {
                SetDepartureInterface(msg, controls[i], datagrams[i].interfaceIndex);
            }
        }
        // Never blocks: a full send buffer gives EAGAIN at once.
        const int n = ::sendmmsg(m_fd, messages.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
        if (n < 0) return {0, errno};
        return {static_cast<std::size_t>(n), 0};
    }

    int Shutdown() override {
        // On an unconnected UDP socket the kernel answers ENOTCONN but still
        // marks the socket shut down and wakes the blocked receiver.
        if (::shutdown(m_fd, SHUT_RDWR) < 0 && errno != ENOTCONN) return errno;
        return 0;
    }

private:
    static sockaddr_in BroadcastTo(std::uint16_t port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        return to;
    }

    // How many datagrams from the first on have its size and interface.
    static std::size_t SameShapeRun(std::span<const OutboundDatagram> datagrams) {
        const std::size_t size = datagrams.front().bytes.size();
        const int interfaceIndex = datagrams.front().interfaceIndex;
        std::size_t run = 1;
        while (run < datagrams.size() && datagrams[run].bytes.size() == size &&
               datagrams[run].interfaceIndex == interfaceIndex) {
            ++run;
        }
        return size == 0 ? 1 : run;
    }

    // A kernel or device without UDP segmentation offload for this send, or
    // a link whose MTU is below a reply (EMSGSIZE: a plain send fragments).
    static bool SegmentationUnsupported(int error) {
        return error == EIO || error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP ||
               error == EMSGSIZE;
    }

    // The send would succeed later: the caller decides, as for any send.
    static bool RetryLater(int error) {
        return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS || error == EINTR;
    }

    // All of them or none: one sendmsg with UDP_SEGMENT set to their size.
    SendBatchResult SendSegmented(std::span<const OutboundDatagram> datagrams, sockaddr_in to) {
        std::array<iovec, kMaxBatch> iovs;
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            iovs[i] = {const_cast<std::uint8_t*>(datagrams[i].bytes.data()),
                       datagrams[i].bytes.size()};
        }
        alignas(cmsghdr) unsigned char
            control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(std::uint16_t))] = {};
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof(to);
        msg.msg_iov = iovs.data();
        msg.msg_iovlen = datagrams.size();
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const std::uint16_t segment = static_cast<std::uint16_t>(datagrams.front().bytes.size());
        std::memcpy(CMSG_DATA(c), &segment, sizeof(segment));
        if (datagrams.front().interfaceIndex > 0) {
            c = CMSG_NXTHDR(&msg, c);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info{};
            info.ipi_ifindex = datagrams.front().interfaceIndex;
            std::memcpy(CMSG_DATA(c), &info, sizeof(info));
        } else {
            msg.msg_controllen = CMSG_SPACE(sizeof(std::uint16_t));
        }
        if (::sendmsg(m_fd, &msg, MSG_DONTWAIT) < 0) return {0, errno};
        return {datagrams.size(), 0};
    }

    int m_fd;
    // Cleared when the kernel or the device refuses a segmented send.
    bool m_segmentation = true;
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
