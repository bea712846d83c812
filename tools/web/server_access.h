#pragma once
// What the page's requests ask of the server, one operation each. The
// program's own implementation calls the server through ServerSession;
// the router's tests and fuzzer pass a stand-in. Every operation throws a
// tools::Failure that says what was asked.

#include <cstdint>
#include <string>

#include "platform/com/hresult.h"

namespace fybootp::web {

class ServerAccess {
public:
    virtual ~ServerAccess() = default;

    virtual std::string NodesXml() = 0;
    virtual void PutNodesXml(const std::string& text) = 0;
    // The status, S_FALSE included.
    virtual HRESULT Add(const std::string& mac, std::int32_t ipAddr) = 0;
    virtual HRESULT Delete(const std::string& mac) = 0;
    // Add, and the device leaves the new-device list.
    virtual HRESULT Assign(const std::string& mac, std::int32_t ipAddr) = 0;
    virtual std::string NewMacXml() = 0;
    virtual std::string LogXml() = 0;
    virtual void ClearLog() = 0;
    virtual bool Started() = 0;
    virtual void SetStarted(bool started) = 0;
    virtual bool RepliesEnabled() = 0;
    virtual void SetRepliesEnabled(bool enabled) = 0;
    virtual std::string HostXml() = 0;
    virtual void PutHostXml(const std::string& text) = 0;
    // Whether the server runs as FyBootp.service rather than as the local
    // server that the bus starts.
    virtual bool RunsAsService() = 0;
};

}  // namespace fybootp::web
