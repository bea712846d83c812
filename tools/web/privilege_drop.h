#pragma once
// Started as root, fybootp-web keeps root only while it makes its socket:
// then it becomes uid/gid 65534 (nobody/nogroup) with group fybootp as its
// only supplementary group and no capabilities, so that it reaches the bus
// as an operator and parses requests as nobody in particular. Under
// systemd the unit does this instead (DynamicUser=, SupplementaryGroups=).

#include <sys/types.h>

#include <string>

namespace fybootp::web {

inline constexpr uid_t kNobodyUid = 65534;
inline constexpr gid_t kNogroupGid = 65534;

// Nothing to do when not root. False and the reason otherwise; the program
// then ends rather than going on as root.
bool DropRoot(gid_t operatorGroup, std::string* why);

}  // namespace fybootp::web
