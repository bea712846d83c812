#pragma once
// The start-up load as it reads the file through its whole tree: the file
// loaded as a document, then ReadNodeRows and the first
// FyBootpInfo/HostInfo. The start reads the file while it is parsed, without
// keeping the tree; tests hold it to this reading.

#include <string>

#include "core/fy_bootp_server.h"
#include "document/host_info_source.h"

namespace fybootp::testing {

// Fills server from FyBootpInfo.xml of the working directory as above:
// rows and identity from a file that loads, the identity detected from
// source when it does not or holds no HostInfo.
void LoadThroughTheTree(FyBootpServer& server, const HostInfoSource& source);

// Empty when both servers hold the same rows in the same order and the
// same identity; else what differs, in words.
std::string StartupDifference(const FyBootpServer& expected, const FyBootpServer& actual);

}  // namespace fybootp::testing
