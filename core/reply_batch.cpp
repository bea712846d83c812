#include "core/reply_batch.h"

#include <algorithm>
#include <cerrno>

namespace fybootp {
namespace {

// An interrupted send is tried again, a bounded number of times per batch.
constexpr int kInterruptedRetries = 8;

// The socket's buffer or the device's queue is full: the replies behind the
// refused one would be refused too.
bool RefusesTheRest(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS;
}

}  // namespace

std::size_t SendAll(net::DatagramSocket& socket, std::span<const net::OutboundDatagram> datagrams) {
    std::size_t unsent = 0;
    int retries = 0;
    while (!datagrams.empty()) {
        const net::SendBatchResult result = socket.SendBatch(datagrams, kClientPort);
        if (result.sent > 0) {
            datagrams = datagrams.subspan(std::min(result.sent, datagrams.size()));
            continue;
        }
        if (result.error == EINTR && ++retries <= kInterruptedRetries) continue;
        if (RefusesTheRest(result.error)) return unsent + datagrams.size();
        // This one cannot go (no route out of its interface, say); the next
        // may leave through another.
        ++unsent;
        datagrams = datagrams.subspan(1);
    }
    return unsent;
}

void ReplyBatch::Send(const bootp::Message& reply) {
    // One reply per request and a batch of at most kMaxBatch requests: full
    // only if that ever changes, and then the held replies go out first.
    if (m_count == m_replies.size()) m_unsent += Flush();
    m_replies[m_count] = reply;
    m_outbound[m_count] = {m_replies[m_count], m_interfaceIndex};
    ++m_count;
}

std::size_t ReplyBatch::Flush() {
    const std::size_t unsent = m_unsent + SendAll(m_socket, std::span(m_outbound.data(), m_count));
    m_count = 0;
    m_unsent = 0;
    return unsent;
}

}  // namespace fybootp
