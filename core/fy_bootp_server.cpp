#include "core/fy_bootp_server.h"

#include <cstring>
#include <utility>

#include "core/text_cut.h"

namespace fybootp {

FyBootpServer::FyBootpServer(ServerConfig config)
    : m_newMacs(config.newMacLimit),
      m_logs(config.logLimit),
      m_platform(config.platform ? std::move(config.platform) : MakeSystemResponderPlatform()),
      m_selfReference(config.selfReference),
      m_stopWait(config.stopWait) {
    if (m_selfReference == nullptr) {
        // Without a host to tie it to, the object's own reference still
        // counts somewhere, so that tests can watch it.
        m_ownLock = std::make_unique<ModuleLock>();
        m_ownReference = std::make_unique<ModuleLockReference>(*m_ownLock);
        m_selfReference = m_ownReference.get();
    }
    // The socket library needs no start-up here; the host identity, the
    // counters and the flags have their empty values from the declarations.
}

FyBootpServer::~FyBootpServer() {
    // The process may end while the responder runs, started through Started
    // or not: stop the receive thread, and wait for any thread whose stop
    // timed out, before the tables they read are freed.
    StopResponder();
    JoinLingeringThreads(true);
    if (SelfReference* self = std::exchange(m_self, nullptr)) self->Release();
}

void FyBootpServer::BumpCounter(std::int32_t& counter) {
    // Wraps from 2147483647 to -2147483648: unsigned arithmetic is modular and
    // the conversion back to signed is too (C++20).
    counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + 1u);
}

void FyBootpServer::SetHostName(std::string_view name) {
    const std::size_t length = CutLength(name, kHostNameSize - 1);
    std::memcpy(m_hostName, name.data(), length);
    m_hostName[length] = '\0';
}

bool FyBootpServer::ResponderRunning() const {
    m_runThread.AssertHeld();
    return m_run != nullptr;
}

const NodeTable& FyBootpServer::NodesOnRunThread() const FYB_NO_THREAD_SAFETY_ANALYSIS {
    return m_nodes;
}

ServerIdentity FyBootpServer::IdentityOnRunThread() const FYB_NO_THREAD_SAFETY_ANALYSIS {
    return {m_hostName, m_ipAddr, m_subnetMask, m_defaultGateway, m_override};
}

HRESULT FyBootpServer::get_Started(std::int32_t* value) {
    m_runThread.AssertHeld();
    if (value == nullptr) return E_POINTER;
    *value = m_self != nullptr ? 1 : 0;
    return S_OK;
}

HRESULT FyBootpServer::put_Started(std::int32_t value) {
    m_runThread.AssertHeld();
    if (value != 0) {
        if (m_self == nullptr && StartResponder()) {
            m_selfReference->AddRef();
            m_self = m_selfReference;
        }
    } else if (m_self != nullptr) {
        StopResponder();
        SelfReference* self = m_self;
        m_self = nullptr;
        self->Release();  // may end a local server: last
    }
    return S_OK;
}

HRESULT FyBootpServer::get_DisableResponse(std::int32_t* value) {
    if (value == nullptr) return E_POINTER;
    MutexLock lock(m_lock);
    *value = m_disableResponse;
    return S_OK;
}

HRESULT FyBootpServer::put_DisableResponse(std::int32_t value) {
    MutexLock lock(m_lock);
    m_disableResponse = value;
    return S_OK;
}

HRESULT FyBootpServer::get_LogChangeCnt(std::int32_t* value) {
    if (value == nullptr) return E_POINTER;
    MutexLock lock(m_lock);
    *value = m_logChangeCnt;
    return S_OK;
}

HRESULT FyBootpServer::get_NewMacCnt(std::int32_t* value) {
    if (value == nullptr) return E_POINTER;
    MutexLock lock(m_lock);
    *value = m_newMacCnt;
    return S_OK;
}

}  // namespace fybootp
