#include "host/system_paths.h"

#include <cstdlib>

namespace fybootp::host {
namespace {

std::string Below(const char* relative) {
    std::string root = SystemRoot();
    if (root.back() != '/') root += '/';
    return root + relative;
}

}  // namespace

std::string SystemRoot() {
    const char* root = std::getenv("FYBOOTP_ROOT");
    return root != nullptr && *root != '\0' ? root : "/";
}

std::string RegistryRoot() {
    const char* root = std::getenv("FYBOOTP_REGISTRY_ROOT");
    return root != nullptr && *root != '\0' ? root : Below("var/lib/fybootp/registry");
}

std::string StateDirectory() { return Below("var/lib/fybootp"); }

std::string ServerDirectory() { return Below("var/lib/fybootp/server"); }

std::string ActivationFilePath() {
    return Below("usr/share/dbus-1/system-services/org.fybootp.FyBootpServer.service");
}

std::string BusPolicyPath() {
    return Below("usr/share/dbus-1/system.d/org.fybootp.FyBootpServer.conf");
}

}  // namespace fybootp::host
