#pragma once
// FyBootpServer: the one object of the process that holds state. It owns the
// node table, the server's own identity, the new-address list, the log, the
// run flags and counters, and the responder's socket and thread.
//
// Guarding: every field marked "guarded" is shared with the receive thread
// and is read or changed only while m_lock is held. The receive thread holds
// it for the handling of one request (lookup to appends), never across its
// blocking receive; every operation holds it for the whole of its change.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "core/bootp_message.h"
#include "core/bootp_types.h"
#include "core/log_list.h"
#include "core/new_mac_list.h"
#include "core/node_table.h"
#include "core/responder_platform.h"
#include "core/self_reference.h"
#include "platform/com/hresult.h"
#include "platform/com/module_lock.h"

namespace fybootp {

constexpr std::size_t kHostNameSize = 100;  // 99 bytes and the NUL

// The maker's prefix (OUI) of devices worth recording when unknown.
constexpr std::uint8_t kMakerPrefix[3] = {0x02, 0x4B, 0x77};

struct ServerConfig {
    std::shared_ptr<ResponderPlatform> platform;  // null: the system's, on port 67
    SelfReference* selfReference = nullptr;       // null: counts in a lock of its own
    std::size_t logLimit = LogList::kDefaultLimit;
    std::size_t newMacLimit = NewMacList::kDefaultLimit;
    // How long a stop waits for the receive thread before it reports the
    // responder stopped; the thread is still joined before the object goes.
    std::chrono::milliseconds stopWait{7000};
};

// Receives the replies that handling a request produces.
class ReplySink {
public:
    virtual ~ReplySink() = default;
    virtual void Send(const bootp::Message& reply) = 0;
};

class FyBootpServer {
public:
    explicit FyBootpServer(ServerConfig config = {});
    virtual ~FyBootpServer();
    FyBootpServer(const FyBootpServer&) = delete;
    FyBootpServer& operator=(const FyBootpServer&) = delete;

    // Run control. Every get returns E_POINTER for a null out-parameter;
    // every put returns S_OK whatever happened.
    HRESULT get_Started(std::int32_t* value);
    HRESULT put_Started(std::int32_t value);
    HRESULT get_DisableResponse(std::int32_t* value);
    HRESULT put_DisableResponse(std::int32_t value);
    HRESULT get_LogChangeCnt(std::int32_t* value);
    HRESULT get_NewMacCnt(std::int32_t* value);

    // The responder. Start returns false, with nothing left open, when the
    // socket cannot be opened or bound or no thread can be made, or when it
    // runs already.
    bool StartResponder();
    void StopResponder();
    bool ResponderRunning() const { return m_run != nullptr; }

    // One received datagram: recognise, look up, answer or record, log.
    // The caller holds m_lock.
    void HandleDatagram(std::span<const std::uint8_t> datagram, ReplySink& replies);

    // Sets m_hostName, cut to 99 bytes without splitting a character.
    // The caller holds m_lock once the responder can run.
    void SetHostName(std::string_view name);
    std::string_view HostName() const { return m_hostName; }

    static void BumpCounter(std::int32_t& counter);

    mutable std::mutex m_lock;

    // Guarded by m_lock.
    NodeTable m_nodes;
    NewMacList m_newMacs;
    LogList m_logs;
    char m_hostName[kHostNameSize] = {};
    Ipv4Address m_ipAddr = 0;
    Ipv4Address m_subnetMask = 0;
    Ipv4Address m_defaultGateway = 0;
    std::int32_t m_override = 0;
    std::int32_t m_disableResponse = 0;
    std::int32_t m_newMacCnt = 0;
    std::int32_t m_logChangeCnt = 0;
    // Replies that the socket would not take at once (send buffer full, no
    // route): dropped rather than waited for while m_lock is held.
    std::uint64_t m_unsentReplies = 0;

    // Run thread only.
    SelfReference* m_self = nullptr;

private:
    struct ResponderRun;
    void ReceiveLoop(ResponderRun& run);
    void JoinLingeringThreads(bool waitForAll);
    void AppendLog(const MacAddress& mac, std::string_view message);
    void AnswerKnownNode(std::span<const std::uint8_t, bootp::kMessageSize> request,
                         const BootpNode& node, ReplySink& replies);
    void RecordUnknown(const MacAddress& mac);

    std::shared_ptr<ResponderPlatform> m_platform;
    SelfReference* m_selfReference;
    std::unique_ptr<ModuleLock> m_ownLock;
    std::unique_ptr<ModuleLockReference> m_ownReference;

    // The responder, owned by the run thread. Each run has its own socket and
    // stop flag, shared with its receive thread. A thread whose stop timed
    // out is kept, not detached: it reads this object, so the destructor
    // joins it however long that takes.
    std::chrono::milliseconds m_stopWait;
    std::shared_ptr<ResponderRun> m_run;
    std::thread m_thread;
    struct LingeringThread {
        std::thread thread;
        std::shared_ptr<ResponderRun> run;
    };
    std::vector<LingeringThread> m_lingering;

    // Time stamp of the last log entry, reused within the same second.
    std::time_t m_stampTime = -1;
    bool m_stampValid = false;
    char m_stampText[kTimeStampSize] = {};
};

// Builds a server object (or one of a derived class) and runs the start-up
// load as the last step of its construction. A failed load makes the
// construction fail with its status; the object is then released.
using StartupLoad = std::function<HRESULT(FyBootpServer&)>;

template <class T, class... Args>
HRESULT ConstructServer(std::unique_ptr<T>& out, const StartupLoad& load, Args&&... args) {
    out.reset();
    std::unique_ptr<T> server;
    try {
        server = std::make_unique<T>(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (load) {
        const HRESULT hr = load(*server);
        if (Failed(hr)) return hr;
    }
    out = std::move(server);
    return S_OK;
}

}  // namespace fybootp
