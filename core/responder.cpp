// The responder: one UDP socket on port 67 and one receive thread that
// answers listed nodes and records unknown devices of the maker.

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>

#include "core/fy_bootp_server.h"
#include "core/reply_batch.h"

namespace fybootp {
namespace {

constexpr std::size_t kReceiveBufferSize = 500;

bool HasMakerPrefix(const MacAddress& mac) {
    return mac[0] == kMakerPrefix[0] && mac[1] == kMakerPrefix[1] && mac[2] == kMakerPrefix[2];
}

// The receive thread's buffers for one batch.
struct ReceiveBuffers {
    ReceiveBuffers() {
        for (std::size_t i = 0; i < slots.size(); ++i) slots[i].buffer = bytes[i];
    }
    std::array<std::array<std::uint8_t, kReceiveBufferSize>, net::kMaxBatch> bytes;
    std::array<net::ReceiveSlot, net::kMaxBatch> slots;
};

// The requests of a batch, in order of arrival, with junk left out.
struct Requests {
    std::array<std::span<const std::uint8_t>, net::kMaxBatch> datagrams;
    std::array<int, net::kMaxBatch> interfaces;
    std::size_t count = 0;
};

Requests SelectRequests(std::span<const net::ReceiveSlot> slots) {
    Requests requests;
    for (const net::ReceiveSlot& slot : slots) {
        if (slot.truncated || slot.length > slot.buffer.size()) continue;
        const std::span<const std::uint8_t> datagram = slot.buffer.first(slot.length);
        if (!bootp::IsBootRequest(datagram)) continue;
        requests.datagrams[requests.count] = datagram;
        requests.interfaces[requests.count] = slot.interfaceIndex;
        ++requests.count;
    }
    return requests;
}

}  // namespace

// One run of the responder, shared by the run thread and the receive thread.
// A stop sets this run's flag only, so a thread left over from a timed-out
// stop never takes the flag of the run that follows for its own.
struct FyBootpServer::ResponderRun {
    explicit ResponderRun(std::shared_ptr<net::DatagramSocket> s) : socket(std::move(s)) {}
    std::shared_ptr<net::DatagramSocket> socket;
    std::atomic<bool> stopRequested{false};
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;  // guarded by mutex
};

bool FyBootpServer::StartResponder() {
    m_runThread.AssertHeld();
    if (m_run) return false;
    JoinLingeringThreads(false);
    net::OpenResult opened = m_platform->OpenSocket();
    if (!opened.socket) return false;  // the reason is not reported anywhere
    auto run = std::make_shared<ResponderRun>(std::move(opened.socket));
    auto body = [this, run] {
        ReceiveLoop(*run);
        std::lock_guard lock(run->mutex);
        run->done = true;
        run->ended.notify_all();
    };
    if (!m_platform->StartThread(std::move(body), m_thread)) {
        return false;  // like a failed bind: the socket closes with its last owner
    }
    m_run = std::move(run);
    return true;
}

void FyBootpServer::StopResponder() {
    m_runThread.AssertHeld();
    if (!m_run) return;
    std::shared_ptr<ResponderRun> run = std::move(m_run);
    run->stopRequested.store(true);
    (void)run->socket->Shutdown();
    bool ended = false;
    {
        std::unique_lock lock(run->mutex);
        ended = run->ended.wait_for(lock, m_stopWait, [&] { return run->done; });
    }
    // After the wait the stop completes whether or not the thread ended; a
    // thread still running is joined later, before this object goes.
    if (!ended) {
        try {
            m_lingering.reserve(m_lingering.size() + 1);
            // Cannot fail once the room is there: the thread is never dropped
            // while it runs, which would end the process.
            m_lingering.push_back({std::move(m_thread), std::move(run)});
            return;
        } catch (const std::bad_alloc&) {
            // No room to keep it: wait for it here instead, however long.
        }
    }
    m_thread.join();
}

void FyBootpServer::JoinLingeringThreads(bool waitForAll) {
    std::erase_if(m_lingering, [waitForAll](LingeringThread& lingering) {
        if (!waitForAll) {
            std::lock_guard lock(lingering.run->mutex);
            if (!lingering.run->done) return false;
        }
        lingering.thread.join();
        return true;
    });
}

void FyBootpServer::ReceiveLoop(ResponderRun& run) {
    net::DatagramSocket& socket = *run.socket;
    ReceiveBuffers buffers;
    ReplyBatch replies(socket);
    for (;;) {
        const net::ReceiveBatchResult received = socket.ReceiveBatch(buffers.slots);
        // A shut-down socket returns at once, with 0 bytes or an error; only
        // the stop flag tells it from an empty datagram, which is skipped.
        if (run.stopRequested.load()) break;
        if (received.error == EBADF || received.error == ENOTSOCK) break;
        if (received.error != 0) continue;
        // Junk is refused before the lock, so that a flood of it never
        // competes with the interface calls for m_lock.
        const std::size_t count = std::min(received.count, buffers.slots.size());
        const Requests requests = SelectRequests(std::span(buffers.slots).first(count));
        if (requests.count == 0) continue;
        HandleBatch(std::span(requests.datagrams).first(requests.count),
                    std::span(requests.interfaces).first(requests.count), replies);
    }
}

void FyBootpServer::HandleBatch(std::span<const std::span<const std::uint8_t>> datagrams,
                                std::span<const int> interfaces, ReplyBatch& replies) {
    // One hold for the whole batch. The replies are handed to the socket
    // before the lock is let go, so no client sees a log entry whose reply
    // has not been sent.
    MutexLock lock(m_lock);
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        replies.SetInterface(interfaces[i]);
        HandleDatagram(datagrams[i], replies);
    }
    m_unsentReplies += replies.Flush();
}

void FyBootpServer::HandleDatagram(std::span<const std::uint8_t> datagram, ReplySink& replies) {
    if (!bootp::IsBootRequest(datagram)) return;
    const std::span<const std::uint8_t, bootp::kMessageSize> request(datagram.data(),
                                                                     bootp::kMessageSize);
    const MacAddress mac = bootp::ClientHardwareAddress(request);
    if (const std::optional<Ipv4Address> address = m_nodes.FirstAddressOf(mac)) {
        // A listed node with replies suppressed is not unknown either.
        if (m_disableResponse == 0) AnswerKnownNode(request, BootpNode{*address, mac}, replies);
        return;
    }
    if (HasMakerPrefix(mac)) RecordUnknown(mac);
}

void FyBootpServer::AnswerKnownNode(std::span<const std::uint8_t, bootp::kMessageSize> request,
                                    const BootpNode& node, ReplySink& replies) {
    bootp::Message reply;
    const bootp::ReplyIdentity identity{m_hostName, m_ipAddr, m_subnetMask, m_defaultGateway};
    bootp::BuildReply(request, node.ipAddr, identity, reply);
    replies.Send(reply);
    AppendLog(node.macAddr, LogMessage::kAddressAssigned, node.ipAddr);
}

void FyBootpServer::RecordUnknown(const MacAddress& mac) {
    // An address already listed, or one past the list's limit, changes nothing.
    if (m_newMacs.AppendIfNew(mac) != NewMacList::AppendResult::kAppended) return;
    BumpCounter(m_newMacCnt);
    AppendLog(mac, LogMessage::kUnknownMaker, 0);
}

void FyBootpServer::AppendLog(const MacAddress& mac, LogMessage message, Ipv4Address ipAddr) {
    // Only the time is taken here; its text is made when the log is read.
    m_logs.Append(LogEntry{m_platform->Now(), mac, message, ipAddr});
    BumpCounter(m_logChangeCnt);
}

}  // namespace fybootp
