#include "tools/client/interface_texts.h"

#include "document/dom_error.h"
#include "document/dom_routines.h"
#include "document/info_file.h"
#include "document/node_rows.h"
#include "document/xml_parse.h"
#include "document/xml_text.h"
#include "tools/client/client_failure.h"

namespace fybootp::tools {
namespace {

xml::OwnedDocument Parse(std::string_view text) {
    xml::PrepareLibxml();
    xml::OwnedDocument document = xml::ParseUntrusted(text, xml::Origin::kClientText);
    if (!document) {
        throw Failure{"reading the server's answer", E_INVALIDARG, Stage::kCall,
                      "the server's text did not load as XML"};
    }
    return document;
}

// Whether element is ROOT/LIST/ITEM counted from the document, as the path
// "ROOT/LIST/ITEM" selects it (dom_routines.h: names compared exactly,
// elements in a namespace never matching).
bool IsRow(xmlNode* element, std::string_view root, std::string_view list,
           std::string_view item) {
    const auto named = [](const xmlNode* node, std::string_view name) {
        return node != nullptr && node->type == XML_ELEMENT_NODE && node->ns == nullptr &&
               xml::FromXml(node->name) == name;
    };
    const xmlNode* parent = element->parent;
    const xmlNode* top = parent == nullptr ? nullptr : parent->parent;
    return named(element, item) && named(parent, list) && named(top, root) &&
           top->parent != nullptr && top->parent->type == XML_DOCUMENT_NODE;
}

// Parses the text and shows each row element to read as it ends; the row
// is then freed, so that no tree of the whole text is ever built. Rows come
// in document order; none count unless the whole text loads.
template <typename Read>
void ReadRows(std::string_view text, std::string_view root, std::string_view list,
              std::string_view item, Read read) {
    xml::PrepareLibxml();
    const xml::OwnedDocument document =
        xml::ParseUntrusted(text, xml::Origin::kClientText, nullptr, [&](xmlNode* element) {
            if (!IsRow(element, root, list, item)) return false;
            read(element);
            return true;
        });
    if (!document) {
        throw Failure{"reading the server's answer", E_INVALIDARG, Stage::kCall,
                      "the server's text did not load as XML"};
    }
}

// "" for a child that is absent, as in the new-device list's rows.
std::string ChildText(Node parent, std::string_view name) {
    const Node child = SelectSingleNode(parent, name);
    return child == nullptr ? std::string() : NodeText(child);
}

}  // namespace

std::vector<NodeRow> ReadNodes(std::string_view text) {
    try {
        std::vector<NodeRow> rows;
        ReadRows(text, "FyBootpInfo", "Nodes", "Node", [&](const Node node) {
            rows.push_back({ChildText(node, "IpAddr"), ChildText(node, "MacAddr")});
        });
        return rows;
    } catch (const DomError& error) {
        throw Failure{"reading the node list", error.Status(), Stage::kCall, {}};
    }
}

std::vector<LogRow> ReadLog(std::string_view text) {
    try {
        std::vector<LogRow> rows;
        ReadRows(text, "FyBootpInfo", "Logs", "Log", [&](const Node log) {
            rows.push_back({ChildText(log, "TimeStamp"), ChildText(log, "MacAddr"),
                            ChildText(log, "Message")});
        });
        return rows;
    } catch (const DomError& error) {
        throw Failure{"reading the log", error.Status(), Stage::kCall, {}};
    }
}

HostIdentity ReadHost(std::string_view text) {
    try {
        const xml::OwnedDocument document = Parse(text);
        const Node host = SelectSingleNode(AsNode(document.get()), "FyBootpInfo/HostInfo");
        HostIdentity identity;
        if (host == nullptr) return identity;
        identity.override = ChildText(host, "Override") == "1";
        identity.name = ChildText(host, "Name");
        identity.ipAddr = ChildText(host, "IpAddr");
        identity.subnetMask = ChildText(host, "SubnetMask");
        identity.defaultGateway = ChildText(host, "DefaultGateway");
        return identity;
    } catch (const DomError& error) {
        throw Failure{"reading the host identity", error.Status(), Stage::kCall, {}};
    }
}

std::optional<std::size_t> TableRowsIfLoads(std::string_view text) {
    try {
        std::size_t rows = 0;
        xml::PrepareLibxml();
        const xml::OwnedDocument document =
            xml::ParseUntrusted(text, xml::Origin::kClientText, nullptr, [&](xmlNode* element) {
                if (IsRow(element, "FyBootpInfo", "Nodes", "Node")) {
                    if (ReadNodeRow(element)) ++rows;
                    return true;
                }
                // The rest goes as each child of the root ends: a row's own
                // children must stay until the row ends, and the root until
                // the end, for a row is known by its place below it.
                const xmlNode* parent = element->parent;
                return parent != nullptr && parent->parent != nullptr &&
                       parent->parent->type == XML_DOCUMENT_NODE;
            });
        if (!document) return std::nullopt;
        return rows;
    } catch (const DomError&) {
        return std::nullopt;
    }
}

std::string HostInfoText(const HostChange& change) {
    try {
        NewDocument made = NewInfoDocument();
        const Node host = AppendElement(made.root, "HostInfo");
        AppendTextElement(host, "Override", change.override ? "1" : "0");
        if (change.name) AppendTextElement(host, "Name", *change.name);
        if (change.ipAddr) AppendTextElement(host, "IpAddr", *change.ipAddr);
        if (change.subnetMask) AppendTextElement(host, "SubnetMask", *change.subnetMask);
        if (change.defaultGateway)
            AppendTextElement(host, "DefaultGateway", *change.defaultGateway);
        return DocumentText(made.document);
    } catch (const DomError& error) {
        throw Failure{"writing the host identity", error.Status(), Stage::kCall, {}};
    }
}

std::string BootpInfosText(const std::vector<NodeRow>& rows) {
    try {
        NewDocument made = NewInfoDocument();
        const Node nodes = AppendElement(made.root, "Nodes");
        for (const NodeRow& row : rows) {
            const Node node = AppendElement(nodes, "Node");
            AppendTextElement(node, "IpAddr", row.ipAddr);
            AppendTextElement(node, "MacAddr", row.macAddr);
        }
        return DocumentText(made.document);
    } catch (const DomError& error) {
        throw Failure{"writing the node table", error.Status(), Stage::kCall, {}};
    }
}

}  // namespace fybootp::tools
