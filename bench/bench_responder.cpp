// fybootp-bench-responder: the server object with a node table from a file,
// its identity from the command line and the responder started, for load
// runs in the private network namespaces of bench/run-load.sh. It stands in
// for the service host, which would load the table from the info document
// and start the responder through the automation interface.
//
//   fybootp-bench-responder [--log-limit N] [--new-mac-limit N] [--max-seconds S]
//                           NODES_FILE SERVER_IP MASK ROUTER HOST_NAME
//
// NODES_FILE holds "MAC IP" lines (02:00:00:00:00:00 10.78.0.1). The program
// prints "ready ..." on standard output once the responder answers, a status
// line on standard error for every SIGUSR1, and ends on SIGTERM or SIGINT
// (or after --max-seconds) with the responder stopped and a last status line
// carrying the peak memory (VmHWM).
//
// Exit status: 0 stopped by a signal or the time limit, 1 bad arguments or
// table, 2 run in the machine's own network namespace, 3 the responder did
// not start (port 67 taken, no thread).

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fy_bootp_server.h"
#include "platform/net/address_text.h"

namespace fybootp {
namespace {

constexpr int kExitUsage = 1;
constexpr int kExitInitNamespace = 2;
constexpr int kExitNotStarted = 3;

struct Options {
    std::size_t logLimit = LogList::kDefaultLimit;
    std::size_t newMacLimit = NewMacList::kDefaultLimit;
    long maxSeconds = 3600;  // a forgotten run still ends
    std::string nodesFile;
    std::string serverIp, mask, router, hostName;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: fybootp-bench-responder [--log-limit N] [--new-mac-limit N] "
                 "[--max-seconds S]\n"
                 "                               NODES_FILE SERVER_IP MASK ROUTER HOST_NAME\n");
}

std::optional<long> ParseCount(std::string_view text, long minimum) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum) {
        return std::nullopt;
    }
    return value;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--log-limit" || arg == "--new-mac-limit" || arg == "--max-seconds") {
            if (i + 1 == argc) return std::nullopt;
            const auto value = ParseCount(argv[++i], 1);
            if (!value) return std::nullopt;
            if (arg == "--log-limit") options.logLimit = static_cast<std::size_t>(*value);
            if (arg == "--new-mac-limit") options.newMacLimit = static_cast<std::size_t>(*value);
            if (arg == "--max-seconds") options.maxSeconds = *value;
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != 5) return std::nullopt;
    options.nodesFile = positional[0];
    options.serverIp = positional[1];
    options.mask = positional[2];
    options.router = positional[3];
    options.hostName = positional[4];
    return options;
}

// Recent kernels give the initial network namespace this fixed inode number.
constexpr ino_t kInitNetInode = 0xEFFFFFF9;

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when this namespace is one that `ip netns add` created: it is then
// bind-mounted under /run/netns.
bool IsNamedNamespace(const struct stat& self) {
    DIR* dir = ::opendir("/run/netns");
    if (dir == nullptr) return false;
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string path = std::string("/run/netns/") + entry->d_name;
        struct stat named {};
        if (entry->d_name[0] != '.' && ::stat(path.c_str(), &named) == 0 &&
            SameFile(named, self)) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// The responder answers every broadcast on port 67 of the namespace it runs
// in; in the machine's own namespace that would be a live network. The
// namespace of process 1 is the machine's own. Where process 1 cannot be
// inspected (a container whose first process hides itself), only a namespace
// that positively is a private one is accepted.
bool InPrivateNetworkNamespace() {
    static const char kRefusal[] =
        "fybootp-bench-responder: refusing to run: %s. The responder would answer BOOTP "
        "requests on the networks of this namespace; start it inside a network namespace "
        "of its own (bench/run-load.sh does).\n";
    struct stat self {};
    if (::stat("/proc/self/ns/net", &self) != 0) {
        std::fprintf(stderr, "fybootp-bench-responder: cannot read /proc/self/ns/net: %s\n",
                     std::strerror(errno));
        return false;
    }
    struct stat init {};
    if (::stat("/proc/1/ns/net", &init) == 0) {
        if (!SameFile(self, init)) return true;
        std::fprintf(stderr, kRefusal, "this is the network namespace of process 1");
        return false;
    }
    const int initError = errno;
    if (self.st_ino == kInitNetInode) {
        std::fprintf(stderr, kRefusal, "this is the kernel's initial network namespace");
        return false;
    }
    if (IsNamedNamespace(self)) return true;
    const std::string reason = std::string("/proc/1/ns/net cannot be read (") +
                               std::strerror(initError) +
                               "), and this namespace is not one of /run/netns, so it cannot "
                               "be told from the machine's own";
    std::fprintf(stderr, kRefusal, reason.c_str());
    return false;
}

std::optional<MacAddress> ParseMac(std::string_view text) {
    MacAddress mac{};
    std::size_t digits = 0;
    for (char c : text) {
        if (c == ':' || c == '-') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)) || digits == 12) return std::nullopt;
        const int value = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        std::uint8_t& byte = mac[digits / 2];
        byte = static_cast<std::uint8_t>(digits % 2 == 0 ? value << 4 : byte | value);
        ++digits;
    }
    if (digits != 12) return std::nullopt;
    return mac;
}

// "MAC IP" lines; blank lines and lines starting with '#' are skipped. Any
// other line that does not parse fails the whole table.
std::optional<std::vector<BootpNode>> ReadNodes(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "fybootp-bench-responder: cannot open %s\n", path.c_str());
        return std::nullopt;
    }
    std::vector<BootpNode> rows;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        const std::size_t macEnd = line.find_first_of(" \t", first);
        const std::size_t ipBegin =
            macEnd == std::string::npos ? macEnd : line.find_first_not_of(" \t", macEnd);
        const std::size_t ipEnd =
            ipBegin == std::string::npos ? ipBegin : line.find_first_of(" \t\r", ipBegin);
        const auto mac = macEnd == std::string::npos
                             ? std::nullopt
                             : ParseMac(std::string_view(line).substr(first, macEnd - first));
        const std::uint32_t ip =
            ipBegin == std::string::npos
                ? net::kInaddrNone
                : net::InetAddr(std::string_view(line).substr(ipBegin, ipEnd - ipBegin));
        if (!mac || ip == net::kInaddrNone) {
            std::fprintf(stderr, "fybootp-bench-responder: %s:%zu: not a 'MAC IP' line\n",
                         path.c_str(), number);
            return std::nullopt;
        }
        rows.push_back(BootpNode{ip, *mac});
    }
    return rows;
}

// A value line of /proc/self/status, in kB, or -1.
long StatusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t keyLength = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, keyLength, key) == 0 && line.size() > keyLength &&
            line[keyLength] == ':') {
            return std::strtol(line.c_str() + keyLength + 1, nullptr, 10);
        }
    }
    return -1;
}

void PrintStatus(FyBootpServer& server, const char* when) {
    std::size_t nodes, logEntries, logDropped, newMacs;
    std::int32_t logChanges, newMacCount;
    {
        std::lock_guard lock(server.m_lock);
        nodes = server.m_nodes.Size();
        logEntries = server.m_logs.Size();
        logDropped = server.m_logs.Dropped();
        newMacs = server.m_newMacs.Size();
        logChanges = server.m_logChangeCnt;
        newMacCount = server.m_newMacCnt;
    }
    std::fprintf(stderr,
                 "status %s: nodes %zu log_entries %zu log_dropped %zu log_change_cnt %d "
                 "new_macs %zu new_mac_cnt %d vm_rss_kb %ld vm_hwm_kb %ld\n",
                 when, nodes, logEntries, logDropped, logChanges, newMacs, newMacCount,
                 StatusKb("VmRSS"), StatusKb("VmHWM"));
}

// Serves SIGUSR1 with a status line until SIGTERM, SIGINT or the time limit.
void WaitForStop(FyBootpServer& server, const sigset_t& signals, long maxSeconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += maxSeconds;
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
        if (left.tv_nsec < 0) {
            left.tv_nsec += 1000000000L;
            --left.tv_sec;
        }
        if (left.tv_sec < 0) left = timespec{0, 0};
        siginfo_t info;
        const int signal = sigtimedwait(&signals, &info, &left);
        if (signal == SIGUSR1) {
            PrintStatus(server, "sigusr1");
            continue;
        }
        if (signal < 0 && errno == EINTR) continue;
        if (signal < 0) {
            std::fprintf(stderr, "fybootp-bench-responder: %ld s without a stop signal, ending\n",
                         maxSeconds);
        }
        return;
    }
}

int Run(const Options& options) {
    if (!InPrivateNetworkNamespace()) return kExitInitNamespace;

    // The table's load: the file read and parsed, the rows and their index
    // built. Start-up from FyBootpInfo.xml adds the parsing of XML to this.
    const auto loadStart = std::chrono::steady_clock::now();
    std::optional<std::vector<BootpNode>> rows = ReadNodes(options.nodesFile);
    if (!rows) return kExitUsage;
    const std::uint32_t serverIp = net::InetAddr(options.serverIp);
    const std::uint32_t mask = net::InetAddr(options.mask);
    const std::uint32_t router = net::InetAddr(options.router);
    if (serverIp == net::kInaddrNone || router == net::kInaddrNone) {
        std::fprintf(stderr, "fybootp-bench-responder: bad server or router address\n");
        return kExitUsage;
    }

    ServerConfig config;
    config.logLimit = options.logLimit;
    config.newMacLimit = options.newMacLimit;
    std::unique_ptr<FyBootpServer> server;
    if (Failed(ConstructServer(server, nullptr, std::move(config)))) {
        std::fprintf(stderr, "fybootp-bench-responder: cannot build the server object\n");
        return kExitUsage;
    }
    {
        std::lock_guard lock(server->m_lock);
        server->m_nodes.Replace(std::move(*rows));
        server->SetHostName(options.hostName);
        server->m_ipAddr = serverIp;
        server->m_subnetMask = mask;
        server->m_defaultGateway = router;
        server->m_override = 1;  // the identity is given, not detected
    }
    const auto loadMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - loadStart);

    // Blocked before the receive thread exists, so that it inherits the mask
    // and only this thread ever takes the signals, in sigtimedwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    server->put_Started(1);
    std::int32_t started = 0;
    server->get_Started(&started);
    if (started != 1) {
        std::fprintf(stderr,
                     "fybootp-bench-responder: the responder did not start (UDP port 67 "
                     "taken, or no thread)\n");
        return kExitNotStarted;
    }
    std::printf("ready: %zu nodes, pid %ld, log limit %zu, new-address limit %zu, "
                "vm_hwm_kb %ld table_load_ms %lld\n",
                server->m_nodes.Size(), static_cast<long>(::getpid()), options.logLimit,
                options.newMacLimit, StatusKb("VmHWM"), static_cast<long long>(loadMs.count()));
    std::fflush(stdout);
    PrintStatus(*server, "ready");

    WaitForStop(*server, signals, options.maxSeconds);
    server->put_Started(0);
    PrintStatus(*server, "exit");
    return 0;
}

}  // namespace
}  // namespace fybootp

int main(int argc, char** argv) {
    const std::optional<fybootp::Options> options = fybootp::ParseOptions(argc, argv);
    if (!options) {
        fybootp::Usage();
        return fybootp::kExitUsage;
    }
    return fybootp::Run(*options);
}
