#include "document/startup_load.h"

#include <mutex>
#include <string>
#include <vector>

#include "document/dom_error.h"
#include "document/info_file.h"
#include "document/node_rows.h"
#include "platform/net/address_text.h"

namespace fybootp {
namespace {

// The identity a HostInfo element fixes; a child that is absent leaves the
// empty value.
struct StoredIdentity {
    std::string name;
    Ipv4Address ipAddr = 0;
    Ipv4Address subnetMask = 0;
    Ipv4Address defaultGateway = 0;
};

void ReadAddress(Node hostInfo, const char* name, Ipv4Address& field) {
    if (const Node child = SelectSingleNode(hostInfo, name)) field = net::InetAddr(NodeText(child));
}

StoredIdentity ReadStoredIdentity(Node hostInfo) {
    // Override is not consulted: HostInfo in the file fixes the identity
    // whatever that child says.
    StoredIdentity stored;
    if (const Node name = SelectSingleNode(hostInfo, "Name")) stored.name = NodeText(name);
    ReadAddress(hostInfo, "IpAddr", stored.ipAddr);
    ReadAddress(hostInfo, "SubnetMask", stored.subnetMask);
    ReadAddress(hostInfo, "DefaultGateway", stored.defaultGateway);
    return stored;
}

// Whether the file loaded. A file that cannot be read is like none for the
// start, which detects the identity, but it is remembered: the empty table
// must not be saved over the rows the file holds.
bool LoadFileAtStart(Document& document, InfoFileAccess& access) {
    access.SetStartupReadStatus(S_OK);
    try {
        return static_cast<bool>(LoadInfoFile(document, access));
    } catch (const DomError& error) {
        access.SetStartupReadStatus(error.Status());
        access.Events().Write(journal::Priority::kError,
                              std::string(kInfoFileName) +
                                  " could not be read at start; the server runs with an empty "
                                  "table and saves no change until it starts with a readable file");
        return false;
    }
}

}  // namespace

std::size_t LoadInfoDocument(FyBootpServer& server, const DocumentFactory& factory,
                             const HostInfoSource& source) {
    Document document = CreateInfoDocument(factory);
    if (document == nullptr) return 0;
    if (!LoadFileAtStart(document, factory.InfoFile())) {
        DetectHostInfo(server, source);
        return 0;
    }
    std::vector<BootpNode> rows;
    const std::size_t count = ReadNodeRows(document, rows);
    const Node hostInfo = SelectSingleNode(AsNode(document.get()), "FyBootpInfo/HostInfo");
    const StoredIdentity stored =
        hostInfo != nullptr ? ReadStoredIdentity(hostInfo) : StoredIdentity{};
    const bool fixed = hostInfo != nullptr;
    {
        MutexLock lock(server.m_lock);
        server.m_nodes.Replace(std::move(rows));
        server.SetHostName(stored.name);  // cut to 99 bytes, never inside a character
        server.m_ipAddr = stored.ipAddr;
        server.m_subnetMask = stored.subnetMask;
        server.m_defaultGateway = stored.defaultGateway;
        server.m_override = fixed ? 1 : 0;
    }
    if (!fixed) DetectHostInfo(server, source);
    return count;
}

void DetectHostInfo(FyBootpServer& server, const HostInfoSource& source) {
    const std::string name = source.HostName();
    std::vector<net::AddressRow> addresses;
    const bool haveAddress = source.ReadAddressTable(addresses) == 0 && !addresses.empty();
    std::vector<net::RouteRow> routes;
    const bool haveRoute = source.ReadRouteTable(routes) == 0 && !routes.empty();

    MutexLock lock(server.m_lock);
    server.SetHostName(name);
    if (haveAddress) {
        server.m_ipAddr = addresses.front().address;
        server.m_subnetMask = addresses.front().mask;
        server.m_override = 0;
    }
    if (haveRoute) server.m_defaultGateway = routes.front().nextHop;
}

StartupLoad MakeStartupLoad(const DocumentFactory& factory, const HostInfoSource& source) {
    return [&factory, &source](FyBootpServer& server) {
        return RunDocumentOperation([&] { LoadInfoDocument(server, factory, source); });
    };
}

}  // namespace fybootp
