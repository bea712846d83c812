#pragma once
// The XML texts of the interface as fybootpctl reads and writes them:
// BootpInfosXml and NewMacAddresses (FyBootpInfo/Nodes/Node), LogEntries
// (FyBootpInfo/Logs/Log) and HostInfoXml (FyBootpInfo/HostInfo). Texts from
// the server are parsed as untrusted, like every other XML of this system.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fybootp::tools {

struct NodeRow {
    std::string ipAddr;   // dotted; empty in the new-address list
    std::string macAddr;  // 12 upper-case hex digits
};

struct LogRow {
    std::string timeStamp;
    std::string macAddr;
    std::string message;
};

struct HostIdentity {
    bool override = false;
    std::string name;
    std::string ipAddr;
    std::string subnetMask;
    std::string defaultGateway;
};

// Throw a Failure (E_INVALIDARG, "the server's text did not load") for a
// text that does not parse.
std::vector<NodeRow> ReadNodes(std::string_view text);
std::vector<LogRow> ReadLog(std::string_view text);
HostIdentity ReadHost(std::string_view text);

// For a BootpInfosXml text that loads as the server would load it: how many
// rows a put of it takes (document/node_rows.h's rule); none when it does
// not load.
std::optional<std::size_t> TableRowsIfLoads(std::string_view text);

// A HostInfoXml text that sets Override and those values that are given;
// the server keeps the others.
struct HostChange {
    bool override = true;
    std::optional<std::string> name;
    std::optional<std::string> ipAddr;
    std::optional<std::string> subnetMask;
    std::optional<std::string> defaultGateway;
};
std::string HostInfoText(const HostChange& change);

// A BootpInfosXml text of these rows, in this order: what a put takes as
// the whole table. The rows are checked already.
std::string BootpInfosText(const std::vector<NodeRow>& rows);

}  // namespace fybootp::tools
