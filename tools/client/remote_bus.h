#pragma once
// The system bus of another machine, reached as `systemctl -H` reaches it:
// ssh runs systemd-stdio-bridge there, and the bus connection speaks over
// ssh's standard input and output. Authentication is ssh's; what the
// caller may do there is the far bus's policy. This process runs ssh
// itself rather than through a unixexec: address (which would do the same),
// so that ssh's exit code and its own words tell why a connection failed.

#include <optional>
#include <string>

#include "tools/client/client_failure.h"

namespace fybootp::tools {

struct RemoteHost {
    std::string given;   // as on the command line, for messages
    std::string target;  // [USER@]HOST as ssh takes it
    std::string port;    // "" for ssh's own default
};

// [USER@]HOST[:PORT], an IPv6 address in brackets; nullopt and why when not.
std::optional<RemoteHost> ParseRemoteHost(const std::string& text, std::string* why);

// From now on every client connection of this process goes to that
// machine's system bus; nullopt goes back to this machine's bus.
void ReachThrough(const std::optional<RemoteHost>& host);
// The machine that connections go to now, or null for this one.
const RemoteHost* RemoteTarget();

// Why the last connection to the remote machine failed: ssh failed (its
// own words in `detail`), no bridge there, or no bus behind the bridge.
// Null when that connection did not fail.
const Failure* LastRemoteFailure();

}  // namespace fybootp::tools
