#include "tools/client/node_csv.h"

#include "document/dom_error.h"
#include "document/dom_routines.h"
#include "document/info_file.h"
#include "tools/client/address_args.h"
#include "tools/client/client_failure.h"

namespace fybootp::tools {
namespace {

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    return text;
}

}  // namespace

std::string NodesCsv(const std::vector<NodeRow>& rows) {
    std::string text = "mac,ip\n";
    for (const NodeRow& row : rows) {
        text += MacDisplay(row.macAddr);
        text += ',';
        text += row.ipAddr;
        text += '\n';
    }
    return text;
}

std::optional<std::vector<NodeRow>> ReadNodesCsv(std::string_view text, std::string* why) {
    std::vector<NodeRow> rows;
    bool headerSeen = false;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        const std::string_view line = Trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty()) continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!headerSeen) {
            if (line != "mac,ip") {
                *why = where + "expected the header line \"mac,ip\"";
                return std::nullopt;
            }
            headerSeen = true;
            continue;
        }
        const std::size_t comma = line.find(',');
        if (comma == std::string_view::npos || line.find(',', comma + 1) != std::string_view::npos) {
            *why = where + "expected two fields, mac,ip";
            return std::nullopt;
        }
        std::string reason;
        const std::string_view macText = Trimmed(line.substr(0, comma));
        const std::string_view ipText = Trimmed(line.substr(comma + 1));
        const auto mac = ParseMac(macText, &reason);
        if (!mac) {
            *why = where + std::string(macText) + ": " + reason;
            return std::nullopt;
        }
        const auto ip = ParseIpv4(ipText, &reason);
        if (!ip) {
            *why = where + std::string(ipText) + ": " + reason;
            return std::nullopt;
        }
        rows.push_back({Ipv4Text(*ip), *mac});
    }
    if (!headerSeen) {
        *why = "line 1: expected the header line \"mac,ip\"";
        return std::nullopt;
    }
    return rows;
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
