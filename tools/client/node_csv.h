#pragma once
// The node table as CSV: a header line "mac,ip", then one node a line, the
// MAC as 02:4B:77:00:00:01. Reading accepts every form that ParseMac and
// ParseIpv4 accept, CRLF line ends and blank lines, and names the line of
// the first error. Also the BootpInfosXml text of a list of rows, for
// putting a table read from CSV.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/client/interface_texts.h"

namespace fybootp::tools {

std::string NodesCsv(const std::vector<NodeRow>& rows);

// The rows in the interface's forms (12 hex digits, dotted IP), or nullopt
// and "line 3: ..." in *why.
std::optional<std::vector<NodeRow>> ReadNodesCsv(std::string_view text, std::string* why);

// FyBootpInfo/Nodes/Node/{IpAddr,MacAddr}. Throws a Failure.
std::string BootpInfosText(const std::vector<NodeRow>& rows);

}  // namespace fybootp::tools
