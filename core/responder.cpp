// The responder: one UDP socket on port 67 and one receive thread that
// answers listed nodes and records unknown devices of the maker.

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>

#include "core/fy_bootp_server.h"
#include "core/log_time.h"
#include "platform/net/address_text.h"

namespace fybootp {
namespace {

constexpr std::uint16_t kClientPort = 68;
constexpr std::size_t kReceiveBufferSize = 500;
constexpr auto kStopWait = std::chrono::milliseconds(7000);
constexpr char kUnknownMakerMessage[] = "Unknown Quellmar MAC address found";

bool HasMakerPrefix(const MacAddress& mac) {
    return mac[0] == kMakerPrefix[0] && mac[1] == kMakerPrefix[1] && mac[2] == kMakerPrefix[2];
}

// Sends each reply to 255.255.255.255:68 through the interface on which
// the request arrived.
class BroadcastReplies final : public ReplySink {
public:
    BroadcastReplies(net::DatagramSocket& socket, int interfaceIndex)
        : m_socket(socket), m_interfaceIndex(interfaceIndex) {}
    void Send(const bootp::Message& reply) override {
        // A failed send is not noticed; the log entry is made all the same.
        (void)m_socket.SendBroadcast(reply, kClientPort, m_interfaceIndex);
    }

private:
    net::DatagramSocket& m_socket;
    int m_interfaceIndex;
};

}  // namespace

// Tells the stop that the receive thread has left its loop.
struct FyBootpServer::ThreadExit {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
};

bool FyBootpServer::StartResponder() {
    if (m_socket) return false;
    net::OpenResult opened = m_platform->OpenSocket();
    if (!opened.socket) return false;  // the reason is not reported anywhere
    std::shared_ptr<net::DatagramSocket> socket = std::move(opened.socket);

    m_stopRequested.store(false);
    auto exit = std::make_shared<ThreadExit>();
    auto body = [this, socket, exit] {
        ReceiveLoop(socket);
        std::lock_guard lock(exit->mutex);
        exit->done = true;
        exit->ended.notify_all();
    };
    if (!m_platform->StartThread(std::move(body), m_thread)) {
        return false;  // like a failed bind: the socket closes with its last owner
    }
    m_socket = std::move(socket);
    m_threadExit = std::move(exit);
    return true;
}

void FyBootpServer::StopResponder() {
    if (!m_socket) return;
    m_stopRequested.store(true);
    (void)m_socket->Shutdown();
    bool ended = false;
    {
        std::unique_lock lock(m_threadExit->mutex);
        ended = m_threadExit->ended.wait_for(lock, kStopWait, [&] { return m_threadExit->done; });
    }
    // After the wait the stop completes whether or not the thread ended; a
    // thread still running keeps its own reference to the socket.
    if (ended) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
    m_socket.reset();
    m_threadExit.reset();
}

void FyBootpServer::ReceiveLoop(std::shared_ptr<net::DatagramSocket> socket) {
    std::array<std::uint8_t, kReceiveBufferSize> buffer;
    for (;;) {
        const net::ReceiveResult received = socket->Receive(buffer);
        // A shut-down socket returns at once, with 0 bytes or an error; only
        // the stop flag tells it from an empty datagram, which is skipped.
        if (m_stopRequested.load()) break;
        if (received.error == EBADF || received.error == ENOTSOCK) break;
        if (received.error != 0 || received.truncated) continue;

        BroadcastReplies replies(*socket, received.interfaceIndex);
        std::lock_guard lock(m_lock);
        HandleDatagram(std::span(buffer.data(), received.length), replies);
    }
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

    char address[16];
    net::InetNtoa(node.ipAddr, address);
    char message[kLogMessageSize];
    std::snprintf(message, sizeof(message), "IP Address '%s' assigned", address);
    AppendLog(node.macAddr, message);
}

void FyBootpServer::RecordUnknown(const MacAddress& mac) {
    // An address already listed, or one past the list's limit, changes nothing.
    if (m_newMacs.AppendIfNew(mac) != NewMacList::AppendResult::kAppended) return;
    BumpCounter(m_newMacCnt);
    AppendLog(mac, kUnknownMakerMessage);
}

void FyBootpServer::AppendLog(const MacAddress& mac, std::string_view message) {
    LogRecord record;
    const std::time_t now = m_platform->Now();
    if (!m_stampValid || now != m_stampTime) {
        FormatTimeStamp(m_platform->ToLocal(now), m_stampText);
        m_stampTime = now;
        m_stampValid = true;
    }
    std::memcpy(record.timeStamp, m_stampText, sizeof(record.timeStamp));
    record.macAddr = mac;
    const std::size_t length = std::min(message.size(), kLogMessageSize - 1);
    std::memcpy(record.message, message.data(), length);
    m_logs.Append(record);
    BumpCounter(m_logChangeCnt);
}

}  // namespace fybootp
