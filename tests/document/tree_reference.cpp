#include "tests/document/tree_reference.h"

#include <vector>

#include "document/dom_error.h"
#include "document/info_file.h"
#include "document/node_rows.h"
#include "document/startup_load.h"
#include "document/text_forms.h"
#include "platform/net/address_text.h"

namespace fybootp::testing {
namespace {

Ipv4Address AddressOf(Node hostInfo, const char* name) {
    const Node child = SelectSingleNode(hostInfo, name);
    return child != nullptr ? net::InetAddr(NodeText(child)) : 0;
}

std::string RowsText(const FyBootpServer& server) {
    std::string text;
    for (const BootpNode& row : server.m_nodes.Rows()) {
        text += net::InetNtoa(row.ipAddr) + "/" + HexText(row.macAddr) + " ";
    }
    return text;
}

}  // namespace

void LoadThroughTheTree(FyBootpServer& server, const HostInfoSource& source) {
    InfoFileAccess access;
    Document document = CreateInfoDocument();
    bool loaded = false;
    try {
        loaded = static_cast<bool>(LoadInfoFile(document, access));
    } catch (const DomError&) {
    }
    if (!loaded) {
        DetectHostInfo(server, source);
        return;
    }
    std::vector<BootpNode> rows;
    ReadNodeRows(document, rows);
    const Node hostInfo = SelectSingleNode(AsNode(document.get()), "FyBootpInfo/HostInfo");
    {
        MutexLock lock(server.m_lock);
        server.m_nodes.Replace(std::move(rows));
        if (hostInfo != nullptr) {
            const Node name = SelectSingleNode(hostInfo, "Name");
            server.SetHostName(name != nullptr ? NodeText(name) : std::string());
            server.m_ipAddr = AddressOf(hostInfo, "IpAddr");
            server.m_subnetMask = AddressOf(hostInfo, "SubnetMask");
            server.m_defaultGateway = AddressOf(hostInfo, "DefaultGateway");
            server.m_override = 1;
        }
    }
    if (hostInfo == nullptr) DetectHostInfo(server, source);
}

std::string StartupDifference(const FyBootpServer& expected, const FyBootpServer& actual) {
    std::string difference;
    const auto compare = [&difference](const char* what, const auto& a, const auto& b) {
        if (!(a == b)) difference += std::string(what) + " differs; ";
    };
    compare("the table", RowsText(expected), RowsText(actual));
    compare("the host name", expected.HostName(), actual.HostName());
    compare("IpAddr", expected.m_ipAddr, actual.m_ipAddr);
    compare("SubnetMask", expected.m_subnetMask, actual.m_subnetMask);
    compare("DefaultGateway", expected.m_defaultGateway, actual.m_defaultGateway);
    compare("Override", expected.m_override, actual.m_override);
    return difference;
}

}  // namespace fybootp::testing
