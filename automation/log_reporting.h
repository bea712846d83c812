#pragma once
// The new-address list and the log as XML texts, and clearing the log.
// Fetching changes nothing; a client learns when to fetch again from the
// PropertiesChanged signals of NewMacCnt and LogChangeCnt.

#include <string>
#include <string_view>

#include "core/fy_bootp_server.h"
#include "document/dom_routines.h"

namespace fybootp {

// Declaration, FyBootpInfo, Nodes with one Node (MacAddr only) per recorded
// address in the order first seen. E_POINTER for a null pVal or when no
// document can be made.
HRESULT get_NewMacAddresses(const FyBootpServer& server, std::string* pVal,
                            const DocumentFactory& factory = LibxmlDocumentFactory());

// Declaration, FyBootpInfo, Logs with one Log (TimeStamp, MacAddr, Message)
// per entry, oldest first.
HRESULT get_LogEntries(const FyBootpServer& server, std::string* pVal,
                       const DocumentFactory& factory = LibxmlDocumentFactory());

// Any well-formed text clears the log and raises LogChangeCnt; a Logs
// element in FyBootpInfo.xml is removed. A text that does not load changes
// nothing. S_OK, or the failure of the file rewrite.
HRESULT put_LogEntries(FyBootpServer& server, std::string_view text,
                       const DocumentFactory& factory = LibxmlDocumentFactory());

}  // namespace fybootp
