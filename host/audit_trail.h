#pragma once
// The audit trail: once several operators may change the node table, the
// plant must know who did. Every call that changes the server's state
// writes one line to the event log (the journal, `journalctl -t FyBootp`),
// in both courses, naming the caller's uid and user name, the member, its
// arguments in short, and the status the caller got:
//
//   uid 65534 (nobody) AddBootpInfo 024B77000001 192.0.2.10: S_OK
//   uid 0 (root) put BootpInfosXml 2 rows: S_OK
//
// A client's text is never written as it came: a long or unusual one is
// shown by its size.

#include <string>
#include <string_view>
#include <vector>

#include "platform/bus/bus_shape.h"
#include "platform/journal/journal.h"

namespace fybootp::host {

// The members whose calls are audited, on either interface; for a
// property, its put.
std::vector<std::string> AuditedMembers();

std::string AuditLine(uid_t uid, std::string_view userName, std::string_view member,
                      const std::vector<Variant>& args, HRESULT result);

// A hook that writes each audited call to `log` with the caller's user name.
bus::AuditHook AuditTrail(journal::Sink& log);

}  // namespace fybootp::host
