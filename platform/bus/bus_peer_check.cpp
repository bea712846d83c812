// Who may call: the bus policy lets root and the caller group through, and
// the server checks again with what the bus daemon knows of the caller
// (GetConnectionCredentials). The daemon read the caller's uid and groups
// from its socket when it connected; /proc is never asked, since it is racy
// (the pid may be reused) and hidden by ProtectProc= in the units.

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/bus/bus_server.h"

namespace fybootp::bus {
namespace {

// Enough for every client a plant runs at once; a full cache is emptied,
// and its callers are asked about again on their next call.
constexpr std::size_t kMaxAdmitted = 1024;

struct Credentials {
    std::optional<uid_t> uid;
    std::vector<gid_t> groups;
};

int ReadGroups(sd_bus_message* reply, std::vector<gid_t>* groups) {
    int r = sd_bus_message_enter_container(reply, 'v', "au");
    if (r < 0) return r;
    const void* data = nullptr;
    std::size_t size = 0;
    r = sd_bus_message_read_array(reply, 'u', &data, &size);
    if (r < 0) return r;
    const auto* ids = static_cast<const std::uint32_t*>(data);
    groups->assign(ids, ids + size / sizeof(std::uint32_t));
    return sd_bus_message_exit_container(reply);
}

// One entry of the a{sv}: the two keys we need, the others skipped.
int ReadEntry(sd_bus_message* reply, Credentials* credentials) {
    const char* key = nullptr;
    int r = sd_bus_message_read_basic(reply, 's', &key);
    if (r < 0) return r;
    if (std::strcmp(key, "UnixUserID") == 0) {
        std::uint32_t uid = 0;
        r = sd_bus_message_read(reply, "v", "u", &uid);
        if (r >= 0) credentials->uid = uid;
        return r;
    }
    if (std::strcmp(key, "UnixGroupIDs") == 0) return ReadGroups(reply, &credentials->groups);
    return sd_bus_message_skip(reply, "v");
}

int QueryCredentials(sd_bus* bus, const char* sender, Credentials* credentials) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetConnectionCredentials", nullptr,
                               &reply, "s", sender);
    if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
        r = ReadEntry(reply, credentials);
        if (r >= 0) r = sd_bus_message_exit_container(reply);
    }
    if (r >= 0) r = sd_bus_message_exit_container(reply);
    sd_bus_message_unref(reply);
    return r;
}

bool Admits(const Credentials& credentials, const std::optional<gid_t>& callerGroup) {
    if (!credentials.uid) return false;
    if (*credentials.uid == 0) return true;
    return callerGroup && std::find(credentials.groups.begin(), credentials.groups.end(),
                                    *callerGroup) != credentials.groups.end();
}

}  // namespace

HRESULT BusServer::CheckPeer(Exported& exported, sd_bus_message* message,
                             CallerIdentity* caller) {
    const char* sender = message == nullptr ? nullptr : sd_bus_message_get_sender(message);
    if (sender == nullptr) return E_ACCESSDENIED;
    caller->uniqueName = sender;
    if (const auto found = exported.admitted.find(sender); found != exported.admitted.end()) {
        caller->uid = found->second;
        return S_OK;
    }
    // A synchronous call inside the handler: the calls that arrive
    // meanwhile wait in sd-bus's queue and are served in order after it.
    Credentials credentials;
    if (QueryCredentials(m_bus, sender, &credentials) < 0) return E_ACCESSDENIED;
    if (!Admits(credentials, exported.shape.callerGroup)) return E_ACCESSDENIED;
    caller->uid = *credentials.uid;
    if (exported.admitted.size() >= kMaxAdmitted) exported.admitted.clear();
    exported.admitted.emplace(sender, caller->uid);
    return S_OK;
}

}  // namespace fybootp::bus
