#pragma once
// The server gives up root before it touches anything a client or the
// network hands it: started as root (bus activation without systemd, a
// test, an operator's shell), it becomes `_fybootp` with
// CAP_NET_BIND_SERVICE as its only capability, in its effective,
// permitted and bounding sets, and no supplementary group. Started as any
// other user (systemd's User=_fybootp), it has nothing to give up.

#include <string>

namespace fybootp::host {

// True when the process runs as a user other than root afterwards; false
// and the reason, naming what failed, when it could not drop. The caller
// must then end: it never goes on as root.
bool DropToServerUser(std::string* why);

}  // namespace fybootp::host
