#include "tools/web/privilege_drop.h"

#include <cap-ng.h>
#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fybootp::web {

bool DropRoot(gid_t operatorGroup, std::string* why) {
    if (geteuid() != 0 && getuid() != 0) return true;
    if (setgroups(1, &operatorGroup) != 0) {
        *why = std::string("setgroups: ") + std::strerror(errno);
        return false;
    }
    // No capability survives the change, nor can one be gained again.
    capng_clear(CAPNG_SELECT_BOTH);
    if (const int rc = capng_change_id(static_cast<int>(kNobodyUid),
                                       static_cast<int>(kNogroupGid), CAPNG_CLEAR_BOUNDING);
        rc != 0) {
        *why = "capng_change_id: " + std::to_string(rc) + ", " + std::strerror(errno);
        return false;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        *why = std::string("PR_SET_NO_NEW_PRIVS: ") + std::strerror(errno);
        return false;
    }
    // Fails closed: a drop that did not take is no drop.
    if (setuid(0) == 0 || getuid() != kNobodyUid || geteuid() != kNobodyUid ||
        getegid() != kNogroupGid) {
        *why = "still root after the change of user";
        return false;
    }
    return true;
}

}  // namespace fybootp::web
