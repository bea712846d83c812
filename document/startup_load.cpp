#include "document/startup_load.h"

#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/dom_error.h"
#include "document/info_file.h"
#include "document/node_rows.h"
#include "document/xml_text.h"
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

bool IsNamed(Node node, std::string_view name) {
    return node != nullptr && node->type == XML_ELEMENT_NODE && node->ns == nullptr &&
           xml::FromXml(node->name) == name;
}

bool IsDocument(Node node) { return node != nullptr && node->type == XML_DOCUMENT_NODE; }

// What the start takes from the file, gathered while it is parsed: each row
// of FyBootpInfo/Nodes/Node and the first FyBootpInfo/HostInfo are read as
// their element ends, and every child of the root and of its children is
// freed once it ended and was read, so that a file of a million rows never
// becomes a tree of a million rows. Only what lies below a row or HostInfo
// is kept until that element ends, and that is all a row or the identity
// reads: both come out as they would from the whole tree.
class StartupReader {
public:
    // Whether the parse may free element; what reading a row or HostInfo
    // raised is wrapped so that it is not taken for a failed read of the
    // file, which it is not.
    bool ElementEnded(Node element) {
        try {
            return Read(element);
        } catch (...) {
            throw ReadFailed{std::current_exception()};
        }
    }

    struct ReadFailed {
        std::exception_ptr error;
    };

    std::vector<BootpNode> rows;
    std::optional<StoredIdentity> identity;

private:
    bool Read(Node element) {
        const Node parent = element->parent;
        if (parent == nullptr || IsDocument(parent)) return false;  // the root
        const Node grandparent = parent->parent;
        if (IsDocument(grandparent)) {
            if (IsNamed(parent, "FyBootpInfo") && IsNamed(element, "HostInfo") && !identity) {
                identity = ReadStoredIdentity(element);
            }
            return true;
        }
        if (grandparent == nullptr || !IsDocument(grandparent->parent)) return false;
        const bool underRoot = IsNamed(grandparent, "FyBootpInfo");
        if (underRoot && IsNamed(parent, "Nodes") && IsNamed(element, "Node")) {
            if (const std::optional<BootpNode> row = ReadNodeRow(element)) rows.push_back(*row);
        }
        // HostInfo reads its children when it ends itself.
        return !(underRoot && IsNamed(parent, "HostInfo"));
    }
};

// Whether the file loaded. A file that cannot be read is like none for the
// start, which detects the identity, but it is remembered: the empty table
// must not be saved over the rows the file holds.
bool LoadFileAtStart(Document& document, InfoFileAccess& access, StartupReader& reader) {
    access.SetStartupReadStatus(S_OK);
    try {
        return static_cast<bool>(LoadInfoFile(
            document, access, [&reader](Node element) { return reader.ElementEnded(element); }));
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
    StartupReader reader;
    bool loaded = false;
    try {
        loaded = LoadFileAtStart(document, factory.InfoFile(), reader);
    } catch (const StartupReader::ReadFailed& failed) {
        std::rethrow_exception(failed.error);
    }
    document.reset();  // the root and what the reader left in it
    if (!loaded) {
        DetectHostInfo(server, source);
        return 0;
    }
    std::vector<BootpNode> table;
    InsertRowsInOrder(table, std::move(reader.rows));
    const std::size_t count = table.size();
    const bool fixed = reader.identity.has_value();
    const StoredIdentity stored = fixed ? *reader.identity : StoredIdentity{};
    {
        MutexLock lock(server.m_lock);
        server.m_nodes.Replace(std::move(table));
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
