#pragma once
// ServerAccess over the bus, as every client reaches the server: one
// ServerSession, opened on the first call (so that the bus starts the
// server on demand) and again after the server went away. Calls from the
// connection threads take turns on it.

#include <memory>
#include <string>

#include "platform/sync/annotated_mutex.h"
#include "tools/client/server_session.h"
#include "tools/web/server_access.h"

namespace fybootp::web {

class BusServerAccess : public ServerAccess {
public:
    std::string NodesXml() override;
    void PutNodesXml(const std::string& text) override;
    HRESULT Add(const std::string& mac, std::int32_t ipAddr) override;
    HRESULT Delete(const std::string& mac) override;
    HRESULT Assign(const std::string& mac, std::int32_t ipAddr) override;
    std::string NewMacXml() override;
    std::string LogXml() override;
    void ClearLog() override;
    bool Started() override;
    void SetStarted(bool started) override;
    bool RepliesEnabled() override;
    void SetRepliesEnabled(bool enabled) override;
    std::string HostXml() override;
    void PutHostXml(const std::string& text) override;
    bool RunsAsService() override;

    // The unique bus name of the server that the calls reach, opening the
    // session when there is none. Throws a Failure.
    std::string ServerName();

private:
    // Runs `call` on the session; a server that went away is reached
    // once more through a new session, as the bus starts a new one.
    template <class Call>
    auto WithSession(Call call);

    Mutex m_lock;
    std::unique_ptr<tools::ServerSession> m_session FYB_GUARDED_BY(m_lock);
};

}  // namespace fybootp::web
