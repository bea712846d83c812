#pragma once
// The host identity as the HostInfo element, and the rewrite of the file's
// HostInfo that follows a change of the identity: the file holds HostInfo
// exactly when m_override is on, so that the next start takes the identity
// from the file then, and detects it otherwise.

#include <string_view>

#include "core/fy_bootp_server.h"
#include "document/dom_routines.h"

namespace fybootp {

// Appends HostInfo to parent with Override (overrideText), Name, IpAddr,
// SubnetMask and DefaultGateway from the server's identity; returns it.
// Reads the identity without m_lock: only the run thread changes it.
Node AppendHostInfo(Node parent, const FyBootpServer& server, std::string_view overrideText)
    FYB_REQUIRES_SHARED(server.m_runThread);

// Brings FyBootpInfo.xml into line with the identity. A file that loads:
// under a root FyBootpInfo its first HostInfo is removed and, with m_override
// on, a new one (Override "1") appended as the root's last child; the file
// is saved, unchanged when it has no such root. A file that is absent, or
// does not load (after a copy of it was kept, KeepUnloadableFile), is
// replaced by the declaration, the root, Nodes with the whole node table and,
// with m_override on, HostInfo. A file that cannot be read is left alone
// (LoadInfoFile). Without a document nothing happens. Raises DomError.
void StoreHostInfo(const FyBootpServer& server,
                   const DocumentFactory& factory = LibxmlDocumentFactory())
    FYB_REQUIRES_SHARED(server.m_runThread);

}  // namespace fybootp
