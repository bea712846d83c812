#include "document/host_info_store.h"

#include "document/info_file.h"
#include "document/node_rows.h"
#include "platform/net/address_text.h"

namespace fybootp {

Node AppendHostInfo(Node parent, const FyBootpServer& server, std::string_view overrideText) {
    const ServerIdentity identity = server.IdentityOnRunThread();
    const Node hostInfo = AppendElement(parent, "HostInfo");
    AppendTextElement(hostInfo, "Override", overrideText);
    AppendTextElement(hostInfo, "Name", identity.hostName);
    AppendTextElement(hostInfo, "IpAddr", net::InetNtoa(identity.ipAddr));
    AppendTextElement(hostInfo, "SubnetMask", net::InetNtoa(identity.subnetMask));
    AppendTextElement(hostInfo, "DefaultGateway", net::InetNtoa(identity.defaultGateway));
    return hostInfo;
}

void StoreHostInfo(const FyBootpServer& server, const DocumentFactory& factory) {
    Document document = CreateInfoDocument(factory);
    if (document == nullptr) return;
    const bool fixed = server.IdentityOnRunThread().override != 0;
    InfoFileAccess& access = factory.InfoFile();
    const InfoFileLoad load = LoadInfoFile(document, access);
    if (load) {
        const Node docNode = AsNode(document.get());
        if (const Node root = SelectSingleNode(docNode, "FyBootpInfo")) {
            // Every HostInfo goes, not just the first: the start-up load takes
            // the first one, so a second one left in front of the new one
            // would bring the old identity back at the next start.
            for (const Node old : SelectNodes(docNode, "FyBootpInfo/HostInfo")) {
                RemoveChild(root, old);
            }
            if (fixed) AppendHostInfo(root, server, "1");
        }
        SaveInfoFile(document, access);
        return;
    }
    KeepUnloadableFile(load, access);
    // The document is still the empty one made above. The new file gets the
    // node table too: a file without Nodes is saved unchanged by every later
    // table change, so without it no table would be stored again and the
    // server would come up with an empty table after its next start.
    AppendDeclaration(document.get());
    const Node root = AppendElement(AsNode(document.get()), "FyBootpInfo");
    WriteNodeRows(AppendElement(root, "Nodes"), server.NodesOnRunThread().Rows(), true);
    if (fixed) AppendHostInfo(root, server, "1");
    SaveInfoFile(document, access);
}

}  // namespace fybootp
