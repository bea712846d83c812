#pragma once
// The start-up load: the last step of building the server object fills the
// node table and the host identity from FyBootpInfo.xml, or, where the file
// holds no HostInfo, from the machine. It runs once and never writes the
// file.

#include <cstddef>

#include "core/fy_bootp_server.h"
#include "document/dom_routines.h"
#include "document/host_info_source.h"

namespace fybootp {

// Reads the file's valid rows into m_nodes (ascending by hardware address)
// and takes the identity from its first HostInfo, setting m_override to 1,
// or detects it when there is none. Without a document nothing is loaded or
// detected; a file that is absent, does not load or cannot be read leaves the
// table empty and the identity detected. One that cannot be read is noted in
// the factory's InfoFileAccess, so that no later save drops what it holds.
// The file is read while it is parsed: each row and HostInfo is taken as
// its element ends and freed, so no tree of the whole file is ever held.
// Returns the number of rows read. Raises DomError.
std::size_t LoadInfoDocument(FyBootpServer& server,
                             const DocumentFactory& factory = LibxmlDocumentFactory(),
                             const HostInfoSource& source = SystemHostInfoSource());

// The host name, the first address-table row's address and mask (setting
// m_override to 0) and the first route-table row's next hop: the default
// gateway when there is a default route, else the next hop of the route with
// the lowest destination. A table that cannot be read or is empty leaves its
// values as they are.
void DetectHostInfo(FyBootpServer& server, const HostInfoSource& source = SystemHostInfoSource());

// The load for ConstructServer: LoadInfoDocument, with a raised DomError
// turned into the failing status. factory and source must outlive the call.
StartupLoad MakeStartupLoad(const DocumentFactory& factory = LibxmlDocumentFactory(),
                            const HostInfoSource& source = SystemHostInfoSource());

}  // namespace fybootp
