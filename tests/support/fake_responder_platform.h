#pragma once
// A responder platform for tests without root or network: datagrams are
// queued by the test, replies are collected, and each system service can be
// made to fail.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "core/responder_platform.h"

namespace fybootp::testing {

struct SentReply {
    std::vector<std::uint8_t> bytes;
    std::uint16_t port = 0;
    int interfaceIndex = 0;
};

// Shared between the test and the socket the responder owns, so the test can
// still look after the responder has dropped the socket.
struct FakeNetwork {
    std::mutex mutex;
    std::condition_variable changed;
    // A datagram, or a receive error to report in its place (error != 0).
    struct Inbound {
        std::vector<std::uint8_t> bytes;
        int error = 0;
        int interfaceIndex = kDefaultInterface;
    };
    static constexpr int kDefaultInterface = 7;
    std::deque<Inbound> inbound;
    std::vector<SentReply> sent;
    std::size_t handled = 0;  // datagrams the responder has taken and finished
    // The most datagrams one receive takes; it takes fewer when fewer are
    // queued, and stops before a queued error, which the next receive gives.
    std::size_t maxBatch = net::kMaxBatch;
    std::vector<std::size_t> batchSizes;  // datagrams taken by each receive
    // What the next sends do, one step per call: take at most `accept` of
    // the datagrams offered; when that is none, fail with `error`. Without a
    // step every datagram is taken.
    struct SendStep {
        std::size_t accept = 0;
        int error = 0;
    };
    std::deque<SendStep> sendSteps;
    std::size_t sendCalls = 0;
    int openSockets = 0;
    int socketsOpened = 0;
    // A receiver that a shutdown does not wake, as a socket stuck in the
    // kernel would be (HoldReceivers); ReleaseReceivers lets it go.
    bool holdReceivers = false;
    // Non-zero: every send fails with it.
    int sendError = 0;

    void Deliver(std::vector<std::uint8_t> datagram, int interfaceIndex = kDefaultInterface);
    // Queues them all at once, so that one receive can take them together.
    void DeliverAll(std::vector<Inbound> datagrams);
    void DeliverError(int error);
    void HoldReceivers();
    void ReleaseReceivers();
    // Waits until every delivered datagram has been handled (bounded wait).
    bool WaitUntilHandled(std::size_t count,
                          std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::vector<SentReply> Sent();
};

class FakeResponderPlatform final : public ResponderPlatform {
public:
    std::shared_ptr<FakeNetwork> network = std::make_shared<FakeNetwork>();
    int openError = 0;             // non-zero: OpenSocket fails with it
    bool failThread = false;       // StartThread fails
    bool failLocalTime = false;    // ToLocal gives nothing
    std::time_t now = 1000000000;  // 2001-09-09 in UTC

    net::OpenResult OpenSocket() override;
    bool StartThread(std::function<void()> body, std::thread& out) override;
    std::time_t Now() override { return now; }
    std::optional<std::tm> ToLocal(std::time_t t) override;
};

}  // namespace fybootp::testing
