#pragma once
// FyBootpServer: the one object of the process that holds state. It owns the
// node table, the server's own identity, the new-address list, the log, the
// run flags and counters, and the responder's socket and thread.
//
// Guarding: every field marked FYB_GUARDED_BY(m_lock) is shared with the
// receive thread and is read or changed only while m_lock is held; the
// thread-safety preset has the compiler check it. The receive thread holds
// it for the handling of one batch of received requests (lookups, appends
// and the hand-over of the replies to the socket), never across its
// blocking receive; every operation holds it for the whole of its change.
//
// The run thread (the one that constructs the object and makes every
// interface call) is the only writer of the node table and the identity. It
// may read them without m_lock, and says so through m_runThread: the
// *OnRunThread reads require that role, which no other thread may claim.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
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
#include "platform/sync/annotated_mutex.h"

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

// The identity a reply carries, as the run thread reads it.
struct ServerIdentity {
    std::string_view hostName;
    Ipv4Address ipAddr = 0;
    Ipv4Address subnetMask = 0;
    Ipv4Address defaultGateway = 0;
    std::int32_t override = 0;
};

// Receives the replies that handling a request produces.
class ReplySink {
public:
    virtual ~ReplySink() = default;
    virtual void Send(const bootp::Message& reply) = 0;
};

class ReplyBatch;

class FyBootpServer {
public:
    explicit FyBootpServer(ServerConfig config = {});
    virtual ~FyBootpServer();
    FyBootpServer(const FyBootpServer&) = delete;
    FyBootpServer& operator=(const FyBootpServer&) = delete;

    // Run control, on the run thread. Every get returns E_POINTER for a null
    // out-parameter; every put returns S_OK whatever happened.
    HRESULT get_Started(std::int32_t* value) FYB_EXCLUDES(m_lock);
    HRESULT put_Started(std::int32_t value) FYB_EXCLUDES(m_lock);
    HRESULT get_DisableResponse(std::int32_t* value) FYB_EXCLUDES(m_lock);
    HRESULT put_DisableResponse(std::int32_t value) FYB_EXCLUDES(m_lock);
    HRESULT get_LogChangeCnt(std::int32_t* value) FYB_EXCLUDES(m_lock);
    HRESULT get_NewMacCnt(std::int32_t* value) FYB_EXCLUDES(m_lock);

    // The responder, on the run thread. Start returns false, with nothing
    // left open, when the socket cannot be opened or bound or no thread can
    // be made, or when it runs already.
    bool StartResponder() FYB_EXCLUDES(m_lock);
    void StopResponder() FYB_EXCLUDES(m_lock);
    bool ResponderRunning() const;

    // One received datagram: recognise, look up, answer or record, log.
    void HandleDatagram(std::span<const std::uint8_t> datagram, ReplySink& replies)
        FYB_REQUIRES(m_lock);

    // Sets m_hostName, cut to 99 bytes without splitting a character.
    void SetHostName(std::string_view name) FYB_REQUIRES(m_lock);
    std::string_view HostName() const FYB_REQUIRES_SHARED(m_lock) { return m_hostName; }

    // The node table and the identity, read without m_lock by their only
    // writer.
    const NodeTable& NodesOnRunThread() const FYB_REQUIRES_SHARED(m_runThread);
    ServerIdentity IdentityOnRunThread() const FYB_REQUIRES_SHARED(m_runThread);

    static void BumpCounter(std::int32_t& counter);

    // The clock the log's time stamps come from; its local time is taken
    // when the log is read (LogTextMaker). Safe from any thread.
    ResponderPlatform& Clock() const { return *m_platform; }

    mutable Mutex m_lock;
    ThreadRole m_runThread;

    NodeTable m_nodes FYB_GUARDED_BY(m_lock);
    NewMacList m_newMacs FYB_GUARDED_BY(m_lock);
    LogList m_logs FYB_GUARDED_BY(m_lock);
    char m_hostName[kHostNameSize] FYB_GUARDED_BY(m_lock) = {};
    Ipv4Address m_ipAddr FYB_GUARDED_BY(m_lock) = 0;
    Ipv4Address m_subnetMask FYB_GUARDED_BY(m_lock) = 0;
    Ipv4Address m_defaultGateway FYB_GUARDED_BY(m_lock) = 0;
    std::int32_t m_override FYB_GUARDED_BY(m_lock) = 0;
    std::int32_t m_disableResponse FYB_GUARDED_BY(m_lock) = 0;
    std::int32_t m_newMacCnt FYB_GUARDED_BY(m_lock) = 0;
    std::int32_t m_logChangeCnt FYB_GUARDED_BY(m_lock) = 0;
    // Replies that the socket would not take at once (send buffer full, no
    // route): dropped rather than waited for while m_lock is held.
    std::uint64_t m_unsentReplies FYB_GUARDED_BY(m_lock) = 0;

    SelfReference* m_self FYB_GUARDED_BY(m_runThread) = nullptr;

private:
    struct ResponderRun;
    void ReceiveLoop(ResponderRun& run) FYB_EXCLUDES(m_lock);
    // The requests of one received batch, in order of arrival, each
    // answered through the interface it came in on.
    void HandleBatch(std::span<const std::span<const std::uint8_t>> datagrams,
                     std::span<const int> interfaces, ReplyBatch& replies) FYB_EXCLUDES(m_lock);
    void JoinLingeringThreads(bool waitForAll) FYB_REQUIRES_SHARED(m_runThread);
    void AppendLog(const MacAddress& mac, LogMessage message, Ipv4Address ipAddr)
        FYB_REQUIRES(m_lock);
    void AnswerKnownNode(std::span<const std::uint8_t, bootp::kMessageSize> request,
                         const BootpNode& node, ReplySink& replies) FYB_REQUIRES(m_lock);
    void RecordUnknown(const MacAddress& mac) FYB_REQUIRES(m_lock);

    std::shared_ptr<ResponderPlatform> m_platform;
    SelfReference* m_selfReference;
    std::unique_ptr<ModuleLock> m_ownLock;
    std::unique_ptr<ModuleLockReference> m_ownReference;

    // The responder, owned by the run thread. Each run has its own socket and
    // stop flag, shared with its receive thread. A thread whose stop timed
    // out is kept, not detached: it reads this object, so the destructor
    // joins it however long that takes.
    std::chrono::milliseconds m_stopWait;
    std::shared_ptr<ResponderRun> m_run FYB_GUARDED_BY(m_runThread);
    std::thread m_thread FYB_GUARDED_BY(m_runThread);
    struct LingeringThread {
        std::thread thread;
        std::shared_ptr<ResponderRun> run;
    };
    std::vector<LingeringThread> m_lingering FYB_GUARDED_BY(m_runThread);
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
