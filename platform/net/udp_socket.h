#pragma once
// The UDP socket of a BOOTP server: bound to any local address, broadcasts
// allowed, and told on every datagram which interface it arrived on, so that
// the reply can leave through that same interface. Datagrams come and go in
// batches, one system call for as many as are queued. Every operation
// returns the errno of the failed system call, or 0.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace fybootp::net {

// The largest batch either direction takes in one call.
constexpr std::size_t kMaxBatch = 32;

// One datagram's place in a receive batch: the caller's buffer, and what
// arrived in it.
struct ReceiveSlot {
    std::span<std::uint8_t> buffer;
    std::size_t length = 0;  // the datagram's real length, even when truncated
    bool truncated = false;  // longer than the buffer
    int interfaceIndex = 0;  // where it arrived; 0 when unknown
};

struct ReceiveBatchResult {
    int error = 0;          // errno of a failed receive (nothing taken), else 0
    std::size_t count = 0;  // slots filled, in order of arrival
};

// One reply of a send batch and the interface it must leave through (0: let
// the routing table choose).
struct OutboundDatagram {
    std::span<const std::uint8_t> bytes;
    int interfaceIndex = 0;
};

struct SendBatchResult {
    std::size_t sent = 0;  // the first `sent` datagrams went out
    int error = 0;         // when none went out: why the first did not
};

// What the responder needs of its socket; the real one is below, tests use
// fakes.
class DatagramSocket {
public:
    virtual ~DatagramSocket() = default;
    // Blocks until at least one datagram is queued or the socket is shut
    // down, then takes every datagram already queued, up to slots.size(),
    // without waiting for more. An error met after the first datagram ends
    // the batch early and is reported by the next call.
    virtual ReceiveBatchResult ReceiveBatch(std::span<ReceiveSlot> slots) = 0;
    // Sends the datagrams in order to 255.255.255.255:port, without waiting,
    // the first ones or all of them: the caller offers the rest again. Stops
    // at the first one the socket refuses: a partial count, or, when that
    // was the first, its error (EAGAIN when the send buffer is full).
    virtual SendBatchResult SendBatch(std::span<const OutboundDatagram> datagrams,
                                      std::uint16_t port) = 0;
    // Wakes a blocked receive; later receives return at once.
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
