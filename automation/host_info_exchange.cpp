#include "automation/host_info_exchange.h"

#include <mutex>
#include <optional>

#include "document/dom_error.h"
#include "document/host_info_store.h"
#include "document/info_file.h"
#include "platform/com/variant_convert.h"
#include "platform/net/address_text.h"

namespace fybootp {
namespace {

// What a HostInfo element asks for; an absent child is an empty optional.
struct IdentityChange {
    std::optional<std::int32_t> override;
    std::optional<std::string> name;
    std::optional<Ipv4Address> ipAddr;
    std::optional<Ipv4Address> subnetMask;
    std::optional<Ipv4Address> defaultGateway;
};

std::optional<std::string> ChildText(Node hostInfo, std::string_view name) {
    const Node child = SelectSingleNode(hostInfo, name);
    if (child == nullptr) return std::nullopt;
    return NodeText(child);
}

std::optional<Ipv4Address> ChildAddress(Node hostInfo, std::string_view name) {
    // Text that inet_addr rejects gives its error value, used as it is.
    if (auto text = ChildText(hostInfo, name)) return net::InetAddr(*text);
    return std::nullopt;
}

// Reads the whole change before anything is applied, so a bad Override,
// which comes first anyway, leaves everything as it was.
IdentityChange ReadChange(Node hostInfo) {
    IdentityChange change;
    if (auto text = ChildText(hostInfo, "Override")) {
        VARIANT_BOOL on = VARIANT_FALSE;
        const HRESULT hr = VarBoolFromStr(*text, &on);
        if (Failed(hr)) throw DomError(hr);
        change.override = on != VARIANT_FALSE ? 1 : 0;
    }
    change.name = ChildText(hostInfo, "Name");
    change.ipAddr = ChildAddress(hostInfo, "IpAddr");
    change.subnetMask = ChildAddress(hostInfo, "SubnetMask");
    change.defaultGateway = ChildAddress(hostInfo, "DefaultGateway");
    return change;
}

void Apply(FyBootpServer& server, const IdentityChange& change) {
    MutexLock lock(server.m_lock);
    if (change.override) server.m_override = *change.override;
    if (change.name) server.SetHostName(*change.name);  // 99 bytes at most
    if (change.ipAddr) server.m_ipAddr = *change.ipAddr;
    if (change.subnetMask) server.m_subnetMask = *change.subnetMask;
    if (change.defaultGateway) server.m_defaultGateway = *change.defaultGateway;
}

}  // namespace

HRESULT get_HostInfoXml(const FyBootpServer& server, std::string* pVal,
                        const DocumentFactory& factory) {
    if (pVal == nullptr) return E_POINTER;
    return RunDocumentOperation([&] {
        const NewDocument built = NewInfoDocument(factory);
        CheckRequired(built.root);
        server.m_runThread.AssertHeld();
        AppendHostInfo(built.root, server, server.IdentityOnRunThread().override != 0 ? "1" : "0");
        *pVal = DocumentText(built.document);
    });
}

HRESULT put_HostInfoXml(FyBootpServer& server, std::string_view text,
                        const DocumentFactory& factory) {
    return RunDocumentOperation([&] {
        IdentityChange change;
        {
            Document document = CreateInfoDocument(factory);
            if (document == nullptr || !LoadXmlText(document, text)) return;
            const Node hostInfo =
                CheckRequired(SelectSingleNode(AsNode(document.get()), "FyBootpInfo/HostInfo"));
            change = ReadChange(hostInfo);
        }
        server.m_runThread.AssertHeld();
        Apply(server, change);
        StoreHostInfo(server, factory);
    });
}

}  // namespace fybootp
