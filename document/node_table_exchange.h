#pragma once
// The whole node table as XML text (property BootpInfosXml), and the rewrite
// of the file's node table that the put and node editing share. The
// operations run on the run thread; they change the state shared with the
// receive thread only under m_lock, and parse and write files outside it.

#include <string>
#include <string_view>

#include "core/fy_bootp_server.h"
#include "document/dom_routines.h"

namespace fybootp {

// The table as a document: declaration, FyBootpInfo, one Nodes, one Node per
// row in table order with IpAddr and MacAddr. E_POINTER when pVal is null,
// and when there is no document to build it in.
HRESULT get_BootpInfosXml(const FyBootpServer& server, std::string* pVal,
                          const DocumentFactory& factory = LibxmlDocumentFactory());

// Replaces m_nodes with the valid rows of the text, ascending by hardware
// address; removes from m_newMacs every address the new table lists, raising
// m_newMacCnt once for each; then StoreNodeTable. A text that does not load,
// or no document: S_OK and nothing changes. A failure after the table was
// replaced (the file cannot be written) returns that failure; the new table
// stands and the old file stays.
HRESULT put_BootpInfosXml(FyBootpServer& server, std::string_view xml,
                          const DocumentFactory& factory = LibxmlDocumentFactory());

// Rewrites the node table of FyBootpInfo.xml from m_nodes. A file that loads
// keeps everything else: its Nodes elements under a root FyBootpInfo are
// replaced by one new Nodes appended as the root's last child (also when it
// had none); without that root the file is saved as it is. An absent file is
// replaced by a new one holding only the table, and so is one that does not
// load, after a copy of it was kept (KeepUnloadableFile). A file that
// cannot be read is left alone (LoadInfoFile). Raises DomError.
void StoreNodeTable(const FyBootpServer& server,
                    const DocumentFactory& factory = LibxmlDocumentFactory())
    FYB_REQUIRES_SHARED(server.m_runThread);

}  // namespace fybootp
