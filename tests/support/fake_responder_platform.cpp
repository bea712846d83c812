#include "tests/support/fake_responder_platform.h"

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

    net::ReceiveResult Receive(std::span<std::uint8_t> buffer) override {
        std::unique_lock lock(m_network->mutex);
        if (m_taken) {
            // The previous datagram's handling is over once we are back here.
            ++m_network->handled;
            m_taken = false;
            m_network->changed.notify_all();
        }
        m_network->changed.wait(lock, [&] {
            return (m_shutdown && !m_network->holdReceivers) || !m_network->inbound.empty();
        });
        net::ReceiveResult result;
        if (m_shutdown) return result;  // 0 bytes, as a shut-down socket gives
        FakeNetwork::Inbound next = std::move(m_network->inbound.front());
        m_network->inbound.pop_front();
        m_taken = true;
        if (next.error != 0) {
            result.error = next.error;
            return result;
        }
        std::vector<std::uint8_t>& datagram = next.bytes;
        result.length = datagram.size();
        result.truncated = datagram.size() > buffer.size();
        std::copy_n(datagram.begin(), std::min(datagram.size(), buffer.size()), buffer.begin());
        result.interfaceIndex = 7;
        return result;
    }

    int SendBroadcast(std::span<const std::uint8_t> bytes, std::uint16_t port,
                      int interfaceIndex) override {
        std::lock_guard lock(m_network->mutex);
        if (m_network->sendError != 0) return m_network->sendError;
        m_network->sent.push_back({{bytes.begin(), bytes.end()}, port, interfaceIndex});
        return 0;
    }

    int Shutdown() override {
        std::lock_guard lock(m_network->mutex);
        m_shutdown = true;
        m_network->changed.notify_all();
        return 0;
    }

private:
    std::shared_ptr<FakeNetwork> m_network;
    bool m_taken = false;
    bool m_shutdown = false;  // guarded by the network's mutex
};

}  // namespace

void FakeNetwork::Deliver(std::vector<std::uint8_t> datagram) {
    std::lock_guard lock(mutex);
    inbound.push_back({std::move(datagram), 0});
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
