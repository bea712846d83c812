#pragma once
// Where fybootp-web listens: the socket systemd hands over, else the Unix
// socket below FYBOOTP_ROOT, made root:fybootp 0660 in a folder
// root:fybootp 0750, so that whoever can open it is an operator; or, with
// --listen, a TCP port on the loopback address.

#include <sys/types.h>

#include <optional>
#include <string>

namespace fybootp::web {

struct Listener {
    int fd = -1;
    // What was opened, for the start-up line.
    std::string description;
    // For --listen: the port that was bound (PORT 0 picks one).
    unsigned port = 0;
};

// FYBOOTP_ROOT/run/fybootp/web.sock.
std::string DefaultSocketPath();

// The one socket systemd passed (sd_listen_fds), nullopt when it passed
// none. More than one is an error, in *why.
std::optional<Listener> InheritedListener(std::string* why, bool* failed);

// A stale socket at `path` is replaced; anything else there is an error.
std::optional<Listener> UnixListener(const std::string& path, gid_t group, std::string* why);

// "127.0.0.1:PORT", PORT 0 to 65535.
std::optional<Listener> LoopbackListener(const std::string& address, std::string* why);

}  // namespace fybootp::web
