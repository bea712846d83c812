#include "tests/support/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

namespace fybootp::testing {
namespace {

bool Run(const std::string& command) {
    const std::string quiet = command + " >/dev/null 2>&1";
    return std::system(quiet.c_str()) == 0;
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

ino_t NamespaceInode(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

}  // namespace

std::unique_ptr<NetnsLab> NetnsLab::Create(const std::string& tag, std::string* whyNot) {
    if (geteuid() != 0) {
        if (whyNot) *whyNot = "needs root to create network namespaces";
        return nullptr;
    }
    static std::atomic<int> serial{0};
    const std::string prefix =
        "fyb-" + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    std::unique_ptr<NetnsLab> lab(new NetnsLab(prefix));
    if (lab->Add("probe").empty()) {
        if (whyNot) *whyNot = "cannot create a network namespace (ip netns add failed)";
        return nullptr;
    }
    return lab;
}

NetnsLab::~NetnsLab() {
    for (const auto& [role, name] : m_names) Run("ip netns del " + name);
}

std::string NetnsLab::Add(const std::string& role) {
    const std::string name = m_prefix + "-" + role;
    if (!Run("ip netns add " + name)) return "";
    m_names[role] = name;
    if (!Ip(role, "link set lo up")) return "";
    return name;
}

bool NetnsLab::Link(const std::string& roleA, const std::string& ifA, const std::string& cidrA,
                    const std::string& roleB, const std::string& ifB, const std::string& cidrB) {
    // Made inside A and one end moved to B: neither end ever exists in the
    // machine's own namespace.
    if (!Ip(roleA, "link add " + ifA + " type veth peer name " + ifB + " netns " + Name(roleB)))
        return false;
    if (!cidrA.empty() && !Ip(roleA, "addr add " + cidrA + " dev " + ifA)) return false;
    if (!cidrB.empty() && !Ip(roleB, "addr add " + cidrB + " dev " + ifB)) return false;
    return Ip(roleA, "link set " + ifA + " up") && Ip(roleB, "link set " + ifB + " up");
}

bool NetnsLab::Ip(const std::string& role, const std::string& args) const {
    return Run("ip -n " + Name(role) + " " + args);
}

bool NetnsLab::Sh(const std::string& role, const std::string& command) const {
    return Run("ip netns exec " + Name(role) + " sh -c " + Quote(command));
}

bool NetnsLab::PrepareBroadcast(const std::string& role, const std::string& dev) const {
    return Ip(role, "route add default dev " + dev) &&
           Sh(role,
              "sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf." + dev + ".rp_filter=0") &&
           Ip(role,
              "neigh replace 255.255.255.255 lladdr ff:ff:ff:ff:ff:ff nud permanent dev " + dev);
}

bool NetnsLab::AddServerAndDevice(const std::string& serverCidr, const std::string& deviceCidr) {
    return !Add("srv").empty() && !Add("cli").empty() &&
           Link("srv", "srv0", serverCidr, "cli", "cli0", deviceCidr) &&
           PrepareBroadcast("srv", "srv0") && PrepareBroadcast("cli", "cli0");
}

NetnsLab::Inside::Inside(const NetnsLab& lab, const std::string& role) {
    m_original = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const std::string path = "/run/netns/" + lab.Name(role);
    const int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    // Entering is refused when the target is the namespace we are in: a test
    // must never run its server in the machine's own namespace.
    if (m_original >= 0 && target >= 0 && NamespaceInode(target) != NamespaceInode(m_original)) {
        m_entered = setns(target, CLONE_NEWNET) == 0;
    }
    if (target >= 0) close(target);
}

NetnsLab::Inside::~Inside() {
    if (m_entered) setns(m_original, CLONE_NEWNET);
    if (m_original >= 0) close(m_original);
}

}  // namespace fybootp::testing
