#include "tests/support/fake_responder_platform.h"

#include <algorithm>
#include <chrono>

namespace fybootp::testing {
namespace {

class FakeSocket final : public net::DatagramSocket {
public:
    explicit FakeSocket(std::shared_ptr<FakeNetwork> network) : m_network(std::move(network)) {
        std::lock_guard lock(m_network->mutex);
        ++m_network->openSockets;
        ++m_network->socketsOpened;
    }
    ~FakeSocket() override {
        std::lock_guard lock(m_network->mutex);
        --m_network->openSockets;
        m_network->changed.notify_all();
    }
    FakeSocket(const FakeSocket&) = delete;
    FakeSocket& operator=(const FakeSocket&) = delete;

    net::ReceiveBatchResult ReceiveBatch(std::span<net::ReceiveSlot> slots) override {
        std::unique_lock lock(m_network->mutex);
        if (m_taken != 0) {
            // The previous batch's handling is over once we are back here.
            m_network->handled += m_taken;
            m_taken = 0;
            m_network->changed.notify_all();
        }
        m_network->changed.wait(lock, [&] {
            return (m_shutdown && !m_network->holdReceivers) || !m_network->inbound.empty();
        });
        if (m_shutdown) return {};  // nothing, as a shut-down socket gives
        std::deque<FakeNetwork::Inbound>& inbound = m_network->inbound;
        if (inbound.front().error != 0) {
            const int error = inbound.front().error;
            inbound.pop_front();
            m_taken = 1;
            return {error, 0};
        }
        const std::size_t limit = std::min(slots.size(), m_network->maxBatch);
        std::size_t count = 0;
        while (count < limit && !inbound.empty() && inbound.front().error == 0) {
            Fill(slots[count], inbound.front());
            inbound.pop_front();
            ++count;
        }
        m_taken = count;
        m_network->batchSizes.push_back(count);
        return {0, count};
    }

    net::SendBatchResult SendBatch(std::span<const net::OutboundDatagram> datagrams,
                                   std::uint16_t port) override {
        std::lock_guard lock(m_network->mutex);
        ++m_network->sendCalls;
        if (m_network->sendError != 0) return {0, m_network->sendError};
        std::size_t accept = datagrams.size();
        int error = 0;
        if (!m_network->sendSteps.empty()) {
            accept = std::min(accept, m_network->sendSteps.front().accept);
            error = m_network->sendSteps.front().error;
            m_network->sendSteps.pop_front();
        }
        if (accept == 0) return {0, error};
        for (const net::OutboundDatagram& d : datagrams.first(accept)) {
            m_network->sent.push_back({{d.bytes.begin(), d.bytes.end()}, port, d.interfaceIndex});
        }
        return {accept, 0};
    }

    int Shutdown() override {
        std::lock_guard lock(m_network->mutex);
        m_shutdown = true;
        m_network->changed.notify_all();
        return 0;
    }

private:
    static void Fill(net::ReceiveSlot& slot, const FakeNetwork::Inbound& datagram) {
        slot.length = datagram.bytes.size();
        slot.truncated = datagram.bytes.size() > slot.buffer.size();
        std::copy_n(datagram.bytes.begin(), std::min(datagram.bytes.size(), slot.buffer.size()),
                    slot.buffer.begin());
        slot.interfaceIndex = datagram.interfaceIndex;
    }

    std::shared_ptr<FakeNetwork> m_network;
    std::size_t m_taken = 0;
    bool m_shutdown = false;  // guarded by the network's mutex
};

}  // namespace

void FakeNetwork::Deliver(std::vector<std::uint8_t> datagram, int interfaceIndex) {
    std::lock_guard lock(mutex);
    inbound.push_back({std::move(datagram), 0, interfaceIndex});
    changed.notify_all();
}

void FakeNetwork::DeliverAll(std::vector<Inbound> datagrams) {
    std::lock_guard lock(mutex);
    for (Inbound& d : datagrams) inbound.push_back(std::move(d));
    changed.notify_all();
}

void FakeNetwork::DeliverError(int error) {
    std::lock_guard lock(mutex);
    inbound.push_back({{}, error});
    changed.notify_all();
}

void FakeNetwork::HoldReceivers() {
    std::lock_guard lock(mutex);
    holdReceivers = true;
}

void FakeNetwork::ReleaseReceivers() {
    std::lock_guard lock(mutex);
    holdReceivers = false;
    changed.notify_all();
}

bool FakeNetwork::WaitUntilHandled(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return handled >= count; });
}

std::vector<SentReply> FakeNetwork::Sent() {
    std::lock_guard lock(mutex);
    return sent;
}

net::OpenResult FakeResponderPlatform::OpenSocket() {
    if (openError != 0) return {nullptr, openError};
    return {std::make_unique<FakeSocket>(network), 0};
}

bool FakeResponderPlatform::StartThread(std::function<void()> body, std::thread& out) {
    if (failThread) return false;
    out = std::thread(std::move(body));
    return true;
}

std::optional<std::tm> FakeResponderPlatform::ToLocal(std::time_t t) {
    if (failLocalTime) return std::nullopt;
    std::tm local{};
    gmtime_r(&t, &local);
    return local;
}

}  // namespace fybootp::testing
