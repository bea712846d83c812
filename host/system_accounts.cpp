#include "host/system_accounts.h"

#include <grp.h>
#include <pwd.h>

#include <cstdio>
#include <memory>

#include "host/system_paths.h"

namespace fybootp::host {
namespace {

bool BelowScratchRoot() {
    const std::string root = SystemRoot();
    return root.find_first_not_of('/') != std::string::npos;
}

std::string EtcFile(const char* name) {
    std::string root = SystemRoot();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root + "/etc/" + name;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

template <typename Match>
std::optional<SystemAccount> ScanPasswd(Match match) {
    File file(std::fopen(EtcFile("passwd").c_str(), "re"));
    if (!file) return std::nullopt;
    while (const struct passwd* entry = ::fgetpwent(file.get())) {
        if (match(*entry)) return SystemAccount{entry->pw_name, entry->pw_uid, entry->pw_gid};
    }
    return std::nullopt;
}

}  // namespace

std::optional<SystemAccount> FindSystemUser(const std::string& name) {
    if (BelowScratchRoot()) {
        return ScanPasswd([&](const struct passwd& e) { return name == e.pw_name; });
    }
    const struct passwd* entry = ::getpwnam(name.c_str());
    if (entry == nullptr) return std::nullopt;
    return SystemAccount{entry->pw_name, entry->pw_uid, entry->pw_gid};
}

std::optional<gid_t> FindSystemGroup(const std::string& name) {
    if (!BelowScratchRoot()) {
        const struct group* entry = ::getgrnam(name.c_str());
        return entry == nullptr ? std::nullopt : std::optional<gid_t>(entry->gr_gid);
    }
    File file(std::fopen(EtcFile("group").c_str(), "re"));
    if (!file) return std::nullopt;
    while (const struct group* entry = ::fgetgrent(file.get())) {
        if (name == entry->gr_name) return entry->gr_gid;
    }
    return std::nullopt;
}

std::string UserNameOf(uid_t uid) {
    std::optional<SystemAccount> account;
    if (BelowScratchRoot()) {
        account = ScanPasswd([&](const struct passwd& e) { return e.pw_uid == uid; });
    } else if (const struct passwd* entry = ::getpwuid(uid)) {
        account = SystemAccount{entry->pw_name, entry->pw_uid, entry->pw_gid};
    }
    return account ? account->name : std::to_string(uid);
}

}  // namespace fybootp::host
