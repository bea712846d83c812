#pragma once
// Editing the node table one row at a time. The change is made in memory at
// once, so the responder uses it for the next request, and the file's node
// table is then rewritten so that it survives a restart.

#include <cstdint>
#include <string_view>

#include "core/fy_bootp_server.h"
#include "document/dom_routines.h"

namespace fybootp {

// macAddr: 12 hex digits, either case; only the first 12 characters are
// read. ipAddr: the address in network byte order, stored as it comes.
// A known address gets the new IP address in place (its first row only); a
// new one is appended at the end of the table. An address text that does
// not decode changes no row, and the file is still rewritten. S_OK, or the
// failure of the file rewrite (the table change stands). A new address is
// refused, with nothing changed, once the table holds as many rows as a file
// that loads again can hold (kMaxStoredRows), and so is a change for which
// memory runs out (E_OUTOFMEMORY).
HRESULT AddBootpInfo(FyBootpServer& server, std::string_view macAddr, std::int32_t ipAddr,
                     const DocumentFactory& factory = LibxmlDocumentFactory());

// Removes the first row of the address and rewrites the file: S_OK. S_FALSE,
// with nothing touched, when the text is not an address or no row has it.
HRESULT DeleteBootpInfo(FyBootpServer& server, std::string_view macAddr,
                        const DocumentFactory& factory = LibxmlDocumentFactory());

}  // namespace fybootp
