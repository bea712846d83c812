#pragma once
// Every system path hangs below one root, FYBOOTP_ROOT (default "/"), so
// that tests and the demo install and run a whole system in a scratch
// folder.

#include <string>

namespace fybootp::host {

std::string SystemRoot();
// FYBOOTP_REGISTRY_ROOT when set, else ROOT/var/lib/fybootp/registry.
std::string RegistryRoot();
// ROOT/var/lib/fybootp: root's, holding the registry and the server's
// directory.
std::string StateDirectory();
// ROOT/var/lib/fybootp/server: the server's working directory, its user's,
// where FyBootpInfo.xml lives.
std::string ServerDirectory();
std::string ActivationFilePath();
std::string BusPolicyPath();

}  // namespace fybootp::host
