#pragma once
// The UDP socket of a BOOTP server: bound to any local address, broadcasts
// allowed, and told on every datagram which interface it arrived on, so that
// the reply can leave through that same interface. Every operation returns
// the errno of the failed system call, or 0.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace fybootp::net {

struct ReceiveResult {
    int error = 0;           // errno of a failed receive, else 0
    std::size_t length = 0;  // the datagram's real length, even when truncated
    bool truncated = false;  // longer than the buffer
    int interfaceIndex = 0;  // where it arrived; 0 when unknown
};

// What the responder needs of its socket; the real one is below, tests use
// fakes.
class DatagramSocket {
public:
    virtual ~DatagramSocket() = default;
    // Blocks until a datagram arrives or the socket is shut down.
    virtual ReceiveResult Receive(std::span<std::uint8_t> buffer) = 0;
    // Sends to 255.255.255.255:port through the given interface (0: let
    // the routing table choose), without waiting: EAGAIN when the send
    // buffer is full.
    virtual int SendBroadcast(std::span<const std::uint8_t> bytes, std::uint16_t port,
                              int interfaceIndex) = 0;
    // Wakes a blocked Receive; later receives return at once.
    virtual int Shutdown() = 0;
};

struct OpenResult {
    std::unique_ptr<DatagramSocket> socket;  // null on failure
    int error = 0;
};

// socket(), SO_BROADCAST (its failure ignored, as the server always did),
// IP_PKTINFO, bind(INADDR_ANY:port). Nothing stays open on failure.
OpenResult OpenBroadcastServerSocket(std::uint16_t port);

}  // namespace fybootp::net
