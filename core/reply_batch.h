#pragma once
// The replies to one batch of requests, each to leave through the interface
// its request came in on, handed to the socket together. Sending never
// waits: a reply the socket will not take is dropped and counted, so that
// the receive thread, which holds m_lock meanwhile, never stalls the
// interface calls behind it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/bootp_message.h"
#include "core/fy_bootp_server.h"
#include "platform/net/udp_socket.h"

namespace fybootp {

constexpr std::uint16_t kClientPort = 68;

// Sends every datagram in order, past any that the socket refuses, and
// returns how many did not go out.
std::size_t SendAll(net::DatagramSocket& socket, std::span<const net::OutboundDatagram> datagrams);

class ReplyBatch final : public ReplySink {
public:
    explicit ReplyBatch(net::DatagramSocket& socket) : m_socket(socket) {}

    // The interface through which the replies that follow leave.
    void SetInterface(int interfaceIndex) { m_interfaceIndex = interfaceIndex; }
    void Send(const bootp::Message& reply) override;
    // Hands every held reply to the socket; returns how many it did not take.
    std::size_t Flush();

private:
    net::DatagramSocket& m_socket;
    int m_interfaceIndex = 0;
    std::size_t m_count = 0;
    std::size_t m_unsent = 0;
    std::array<bootp::Message, net::kMaxBatch> m_replies;
    std::array<net::OutboundDatagram, net::kMaxBatch> m_outbound;
};

}  // namespace fybootp
