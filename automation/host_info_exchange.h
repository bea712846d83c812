#pragma once
// The server's own network identity as XML text (property HostInfoXml): the
// values every reply carries, with the Override flag that decides whether
// the next start takes them from the file or detects them.

#include <string>
#include <string_view>

#include "core/fy_bootp_server.h"
#include "document/dom_routines.h"

namespace fybootp {

// Declaration, FyBootpInfo, HostInfo with Override ("1"/"0"), Name, IpAddr,
// SubnetMask, DefaultGateway. E_POINTER for a null pVal or when no document
// can be made.
HRESULT get_HostInfoXml(const FyBootpServer& server, std::string* pVal,
                        const DocumentFactory& factory = LibxmlDocumentFactory());

// Takes each child of "FyBootpInfo/HostInfo" that is present; an absent one
// keeps its value. All of them change together, so no reply carries half of
// the new identity. Then the file holds HostInfo exactly when Override is on.
//  - text that does not load: S_OK, nothing changes;
//  - no FyBootpInfo/HostInfo: E_POINTER, nothing changes;
//  - an Override that is no boolean: that conversion's status, nothing changes;
//  - the file cannot be written: its failure; the identity has changed.
HRESULT put_HostInfoXml(FyBootpServer& server, std::string_view text,
                        const DocumentFactory& factory = LibxmlDocumentFactory());

}  // namespace fybootp
