#pragma once
// The accounts FyBootp runs as and admits: the system user `_fybootp` that
// the server drops to, and the group `fybootp` whose members may call it.
// Below a scratch FYBOOTP_ROOT they are read from ROOT/etc/passwd and
// ROOT/etc/group, so that tests and the demo never need the machine's own
// accounts; below "/" through the name service.

#include <sys/types.h>

#include <optional>
#include <string>

namespace fybootp::host {

constexpr char kServerUser[] = "_fybootp";
constexpr char kClientGroup[] = "fybootp";

struct SystemAccount {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

std::optional<SystemAccount> FindSystemUser(const std::string& name);
std::optional<gid_t> FindSystemGroup(const std::string& name);
// The name of a uid, for journal lines; the number as text when it has none.
std::string UserNameOf(uid_t uid);

}  // namespace fybootp::host
