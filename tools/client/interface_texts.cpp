#include "tools/client/interface_texts.h"

#include "document/dom_error.h"
#include "document/dom_routines.h"
#include "document/info_file.h"
#include "document/xml_parse.h"
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

// "" for a child that is absent, as in the new-device list's rows.
std::string ChildText(Node parent, std::string_view name) {
    const Node child = SelectSingleNode(parent, name);
    return child == nullptr ? std::string() : NodeText(child);
}

}  // namespace

std::vector<NodeRow> ReadNodes(std::string_view text) {
    try {
        const xml::OwnedDocument document = Parse(text);
        std::vector<NodeRow> rows;
        for (const Node node : SelectNodes(AsNode(document.get()), "FyBootpInfo/Nodes/Node")) {
            rows.push_back({ChildText(node, "IpAddr"), ChildText(node, "MacAddr")});
        }
        return rows;
    } catch (const DomError& error) {
        throw Failure{"reading the node list", error.Status(), Stage::kCall, {}};
    }
}

std::vector<LogRow> ReadLog(std::string_view text) {
    try {
        const xml::OwnedDocument document = Parse(text);
        std::vector<LogRow> rows;
        for (const Node log : SelectNodes(AsNode(document.get()), "FyBootpInfo/Logs/Log")) {
            rows.push_back({ChildText(log, "TimeStamp"), ChildText(log, "MacAddr"),
                            ChildText(log, "Message")});
        }
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

bool LoadsAsXml(std::string_view text) {
    try {
        xml::PrepareLibxml();
        return xml::ParseUntrusted(text, xml::Origin::kClientText) != nullptr;
    } catch (const DomError&) {
        return false;
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
