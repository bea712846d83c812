#pragma once
// The server as texts of its own, for fybootp-web's router fuzzer and the
// node table's tests: every change is counted, and a MAC ending in 66 is
// refused as the server would refuse a call. The node table's text can be
// replaced and its reads made to fail, from any thread.

#include <atomic>
#include <mutex>
#include <string>

#include "tools/client/client_failure.h"
#include "tools/web/server_access.h"

namespace fybootp::testing {

inline constexpr char kStandInNodes[] =
    "<?xml version=\"1.0\"?><FyBootpInfo><Nodes><Node><IpAddr>192.0.2.10</IpAddr>"
    "<MacAddr>024B7700000A</MacAddr></Node><Node><IpAddr>198.51.100.7</IpAddr>"
    "<MacAddr>024B77000007</MacAddr></Node></Nodes></FyBootpInfo>";
inline constexpr char kStandInNew[] =
    "<?xml version=\"1.0\"?><FyBootpInfo><Nodes><Node><MacAddr>024B77000009</MacAddr></Node>"
    "</Nodes></FyBootpInfo>";
inline constexpr char kStandInLog[] =
    "<?xml version=\"1.0\"?><FyBootpInfo><Logs><Log><TimeStamp>2026-01-01 10:00:00</TimeStamp>"
    "<MacAddr>024B77000009</MacAddr><Message>Unknown MAC address found</Message></Log></Logs>"
    "</FyBootpInfo>";
inline constexpr char kStandInHost[] =
    "<?xml version=\"1.0\"?><FyBootpInfo><HostInfo><Override>1</Override><Name>cell</Name>"
    "<IpAddr>192.0.2.1</IpAddr><SubnetMask>255.255.255.0</SubnetMask></HostInfo></FyBootpInfo>";

class ServerStandIn : public web::ServerAccess {
public:
    int changes = 0;
    std::atomic<int> nodeReads{0};
    std::atomic<bool> failNodeReads{false};

    void SetNodes(std::string text) {
        const std::lock_guard hold(m_lock);
        m_nodes = std::move(text);
    }

    std::string NodesXml() override {
        ++nodeReads;
        if (failNodeReads)
            throw tools::Failure{"reading the table", E_FAIL, tools::Stage::kCall, {}};
        const std::lock_guard hold(m_lock);
        return m_nodes;
    }
    void PutNodesXml(const std::string&) override { ++changes; }
    HRESULT Add(const std::string& mac, std::int32_t) override { return Change(mac); }
    HRESULT Delete(const std::string& mac) override { return Change(mac); }
    HRESULT Assign(const std::string& mac, std::int32_t) override { return Change(mac); }
    std::string NewMacXml() override { return kStandInNew; }
    std::string LogXml() override { return kStandInLog; }
    void ClearLog() override { ++changes; }
    bool Started() override { return true; }
    void SetStarted(bool) override { ++changes; }
    bool RepliesEnabled() override { return true; }
    void SetRepliesEnabled(bool) override { ++changes; }
    std::string HostXml() override { return kStandInHost; }
    void PutHostXml(const std::string&) override { ++changes; }
    bool RunsAsService() override { return false; }

private:
    HRESULT Change(const std::string& mac) {
        if (mac.size() == 12 && mac.substr(10) == "66") {
            throw tools::Failure{"changing " + mac, E_INVALIDARG, tools::Stage::kCall, {}};
        }
        ++changes;
        return S_OK;
    }

    std::mutex m_lock;
    std::string m_nodes = kStandInNodes;
};

}  // namespace fybootp::testing
