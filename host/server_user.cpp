#include "host/server_user.h"

#include <cap-ng.h>
#include <linux/capability.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/system_accounts.h"

namespace fybootp::host {

bool DropToServerUser(std::string* why) {
    if (::geteuid() != 0) return true;
    const auto user = FindSystemUser(kServerUser);
    if (!user) {
        *why = std::string("there is no user ") + kServerUser +
               " to run as (fybootp -RegServer creates it); not running as root";
        return false;
    }
    if (user->uid == 0) {
        *why = std::string("the user ") + kServerUser + " is uid 0; not running as root";
        return false;
    }
    capng_clear(CAPNG_SELECT_BOTH);
    if (capng_update(CAPNG_ADD,
                     static_cast<capng_type_t>(CAPNG_EFFECTIVE | CAPNG_PERMITTED |
                                               CAPNG_BOUNDING_SET),
                     CAP_NET_BIND_SERVICE) != 0) {
        *why = "cannot prepare the capability set";
        return false;
    }
    // The bounding set first, while we may still change it: the library's
    // own CAPNG_CLEAR_BOUNDING would clear it whole, our one capability too.
    if (capng_apply(CAPNG_SELECT_BOUNDS) != 0) {
        *why = "cannot limit the bounding set to CAP_NET_BIND_SERVICE";
        return false;
    }
    if (const int rc = capng_change_id(static_cast<int>(user->uid), static_cast<int>(user->gid),
                                       CAPNG_DROP_SUPP_GRP);
        rc != 0) {
        *why = std::string("cannot change to user ") + kServerUser +
               " (capng_change_id: " + std::to_string(rc) + ", " + std::strerror(errno) + ")";
        return false;
    }
    // Proof rather than trust: every id is the user's, and root cannot be
    // had back.
    uid_t real = 0, effective = 0, saved = 0;
    gid_t greal = 0, geffective = 0, gsaved = 0;
    if (::getresuid(&real, &effective, &saved) != 0 || ::getresgid(&greal, &geffective, &gsaved) != 0 ||
        real != user->uid || effective != user->uid || saved != user->uid ||
        greal != user->gid || geffective != user->gid || gsaved != user->gid ||
        ::setuid(0) == 0) {
        *why = std::string("the change to user ") + kServerUser + " did not hold";
        return false;
    }
    return true;
}

}  // namespace fybootp::host
