#pragma once
// The commands of fybootpctl. Each reaches the server, does one job and
// prints its result in the chosen format; a failure is thrown (Failure,
// UsageFailure) and reported by main. Addresses arrive checked.

#include <cstdint>
#include <optional>
#include <string>

#include "tools/fybootpctl/output.h"

namespace fybootp::tools {

// A node's address as checked on the command line: the interface's forms.
struct NodeAddress {
    std::string mac;      // 12 upper-case hex digits
    std::int32_t ipAddr;  // network byte order
};

// Nodes, new devices, import and export (commands_table.cpp).
void ShowNodes(Format format);
void AddNode(const NodeAddress& node, Format format);
void DeleteNode(const std::string& mac, Format format);
void ImportTable(const std::string& file, Format format);
void ExportTable(const std::string& file, Format format);
// The table as CSV (tools/client/node_csv.h). A file with a faulty line
// changes nothing: the faults are thrown as one UsageFailure, a line each.
void ImportCsv(const std::string& file, Format format);
void ExportCsv(const std::string& file);
void ShowNew(Format format);
void AssignNew(const NodeAddress& node, Format format);
// The next free address (tools/client/next_free_address.h): printed, or
// given to the device. None left: a Failure, S_FALSE, exit 1.
void ShowNext(Format format);
void AssignNext(const std::string& mac, Format format);

// Status, the responder and the host identity (commands_run.cpp).
void ShowStatus(Format format);
void SetStarted(bool started, Format format);
void SetReplies(bool enabled, Format format);
void ShowHost(Format format);
// Values are checked already: addresses dotted, the name at most 99 bytes.
struct HostSettings {
    std::optional<std::string> name;
    std::optional<std::string> ipAddr;
    std::optional<std::string> subnetMask;
    std::optional<std::string> defaultGateway;
};
void SetHost(const HostSettings& settings, Format format);
void AutoHost(Format format);

// The log (log_commands.cpp). FollowLog returns when SIGINT or SIGTERM
// arrives; it throws when the server goes away.
void ShowLog(Format format);
void ClearLog(Format format);
void FollowLog(Format format);

}  // namespace fybootp::tools
