#pragma once
// Every system path hangs below one root, FYBOOTP_ROOT (default "/"), so
// that tests and the demo install and run a whole system in a scratch
// folder.

#include <string>

namespace fybootp::host {

std::string SystemRoot();
// FYBOOTP_REGISTRY_ROOT when set, else ROOT/var/lib/fybootp/registry.
std::string RegistryRoot();
// ROOT/var/lib/fybootp, where FyBootpInfo.xml lives.
std::string StateDirectory();
std::string ActivationFilePath();
std::string BusPolicyPath();

}  // namespace fybootp::host
