#include "tests/host/bus_test_support.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "automation/fybootp_ids.h"
#include "platform/registry/registry.h"

namespace fybootp::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteAll(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

std::string ServiceDirectory(const std::string& root) {
    return root + "/usr/share/dbus-1/system-services";
}
std::string PolicyDirectory(const std::string& root) { return root + "/usr/share/dbus-1/system.d"; }

// Debian's system.conf default context: method calls, and owning names,
// only where a rule punches a hole, as the included policy file does for
// our name; root may monitor.
constexpr char kSystemPolicy[] =
    "<policy context=\"default\">\n<allow user=\"*\"/>\n<deny own=\"*\"/>\n"
    "<deny send_type=\"method_call\"/>\n<allow send_type=\"signal\"/>\n"
    "<allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
    "<allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
    "<allow receive_type=\"method_call\"/>\n<allow receive_type=\"method_return\"/>\n"
    "<allow receive_type=\"error\"/>\n<allow receive_type=\"signal\"/>\n"
    "<allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\"/>\n"
    "<allow send_destination=\"org.freedesktop.DBus\" "
    "send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
    "<allow send_destination=\"org.freedesktop.DBus\" "
    "send_interface=\"org.freedesktop.DBus.Properties\"/>\n"
    "<deny send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\" "
    "send_member=\"UpdateActivationEnvironment\"/>\n</policy>\n"
    "<policy user=\"root\">\n<allow send_destination=\"org.freedesktop.DBus\" "
    "send_interface=\"org.freedesktop.DBus.Monitoring\"/>\n</policy>\n";

// Allows everything by default, as a session bus does.
constexpr char kOpenPolicy[] =
    "<policy context=\"default\">\n<allow user=\"*\"/>\n<allow own=\"*\"/>\n"
    "<allow send_destination=\"*\"/>\n<allow receive_sender=\"*\"/>\n"
    "<allow send_type=\"method_return\" send_requested_reply=\"true\"/>\n"
    "<allow send_type=\"error\" send_requested_reply=\"true\"/>\n</policy>\n";

std::string Limit(const char* name, int value) {
    return value > 0 ? "<limit name=\"" + std::string(name) + "\">" + std::to_string(value) +
                           "</limit>\n"
                     : "";
}

// The default policy first and the policy directory last, so that the
// rules for our name come after.
std::string BusConfig(const std::string& root, const std::string& socket,
                      const BusOptions& options) {
    return "<busconfig>\n<type>session</type>\n<listen>unix:path=" + socket +
           "</listen>\n<servicedir>" + ServiceDirectory(root) + "</servicedir>\n" +
           (options.systemPolicy ? kSystemPolicy : kOpenPolicy) +
           Limit("max_match_rules_per_connection", options.maxMatchRulesPerConnection) +
           Limit("max_connections_per_user", options.maxConnectionsPerUser) + "<includedir>" +
           PolicyDirectory(root) + "</includedir>\n</busconfig>\n";
}

// The third field of each line of an account file: the ids in use.
std::set<unsigned> IdsIn(const std::string& text) {
    std::set<unsigned> ids;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        ids.insert(static_cast<unsigned>(std::strtoul(line.c_str() + second + 1, nullptr, 10)));
    }
    return ids;
}

bool HasEntry(const std::string& text, const std::string& name) {
    return text.rfind(name + ":", 0) == 0 || text.find("\n" + name + ":") != std::string::npos;
}

// From the top of the system range down, so that no login user is hit.
unsigned FreeId(const std::set<unsigned>& a, const std::set<unsigned>& b) {
    for (unsigned id = 989;; --id) {
        if (!a.contains(id) && !b.contains(id)) return id;
    }
}

bool BindOver(const std::string& copy, const char* target, std::string* whyNot) {
    if (mount(copy.c_str(), target, nullptr, MS_BIND, nullptr) == 0) return true;
    *whyNot = std::string("cannot bind ") + copy + " over " + target + ": " + strerror(errno);
    return false;
}

}  // namespace

bool EnterAccountNamespace(const std::string& root, TestAccounts* accounts, std::string* whyNot) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *whyNot = std::string("no mount namespace: ") + strerror(errno);
        return false;
    }
    // A second bus in one process finds the first one's copies in place,
    // their files gone with its root: the machine's own files come back.
    for (const char* file : {"/etc/passwd", "/etc/group"}) {
        while (umount2(file, MNT_DETACH) == 0) {
        }
    }
    std::string passwd = ReadAll("/etc/passwd");
    std::string group = ReadAll("/etc/group");
    const std::set<unsigned> uids = IdsIn(passwd);
    std::set<unsigned> gids = IdsIn(group);
    const auto server = FreeId(uids, gids);
    gids.insert(server);
    const auto client = FreeId({}, gids);
    if (!HasEntry(passwd, "_fybootp")) {
        passwd += "_fybootp:x:" + std::to_string(server) + ":" + std::to_string(server) +
                  "::/nonexistent:/usr/sbin/nologin\n";
    }
    if (!HasEntry(group, "_fybootp")) group += "_fybootp:x:" + std::to_string(server) + ":\n";
    if (!HasEntry(group, "fybootp")) group += "fybootp:x:" + std::to_string(client) + ":\n";
    fs::create_directories(root + "/etc");
    WriteAll(root + "/etc/passwd", passwd);
    WriteAll(root + "/etc/group", group);
    chmod((root + "/etc/passwd").c_str(), 0644);
    chmod((root + "/etc/group").c_str(), 0644);
    if (!BindOver(root + "/etc/passwd", "/etc/passwd", whyNot) ||
        !BindOver(root + "/etc/group", "/etc/group", whyNot)) {
        return false;
    }
    const struct passwd* user = getpwnam("_fybootp");
    const struct group* members = getgrnam("fybootp");
    if (user == nullptr || members == nullptr) {
        *whyNot = "the account copies hold no _fybootp or fybootp";
        return false;
    }
    *accounts = {user->pw_uid, user->pw_gid, members->gr_gid};
    return true;
}

std::string FybootpPath() { return FYB_FYBOOTP_PATH; }

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::unique_ptr<PrivateBus> PrivateBus::Start(std::string* whyNot, const BusOptions& options) {
    std::unique_ptr<PrivateBus> bus(new PrivateBus);
    char pattern[] = "/tmp/fyb-bus-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        *whyNot = "no scratch directory";
        return nullptr;
    }
    bus->m_root = pattern;
    chmod(pattern, 0755);
    TestAccounts accounts;
    if (!EnterAccountNamespace(bus->m_root, &accounts, whyNot)) return nullptr;
    bus->m_serverUid = accounts.serverUid;
    bus->m_serverGid = accounts.serverGid;
    bus->m_clientGid = accounts.clientGid;
    for (const std::string& dir : {ServiceDirectory(bus->m_root), PolicyDirectory(bus->m_root),
                                   bus->StateDirectory() + "/registry", bus->m_root + "/run",
                                   bus->ServerDirectory()}) {
        fs::create_directories(dir);
    }
    chown(bus->ServerDirectory().c_str(), bus->m_serverUid, bus->m_serverGid);
    chmod(bus->ServerDirectory().c_str(), 0750);
    WriteAll(PolicyDirectory(bus->m_root) + "/org.fybootp.FyBootpServer.conf",
             ReadAll(std::string(FYB_DBUS_TEMPLATES) + "/org.fybootp.FyBootpServer.conf.in"));
    const std::string socket =
        options.socketPath.empty() ? bus->m_root + "/run/bus.sock" : options.socketPath;
    WriteAll(bus->m_root + "/bus.conf", BusConfig(bus->m_root, socket, options));
    bus->m_address = "unix:path=" + socket;
    setenv("FYBOOTP_ROOT", bus->m_root.c_str(), 1);
    setenv("FYBOOTP_BUS_ADDRESS", bus->m_address.c_str(), 1);
    unsetenv("FYBOOTP_REGISTRY_ROOT");

    bus->m_daemon = fork();
    if (bus->m_daemon == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        dup2(null, STDOUT_FILENO);
        // A test that ran the host on this thread blocked the control
        // signals in it; the daemon must still end on SIGTERM.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const std::string config = "--config-file=" + bus->m_root + "/bus.conf";
        execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(10ms);
    if (!fs::exists(socket)) {
        *whyNot = "dbus-daemon did not start";
        return nullptr;
    }
    return bus;
}

void PrivateBus::KillDaemon() {
    if (m_daemon > 0) {
        kill(m_daemon, SIGKILL);
        waitpid(m_daemon, nullptr, 0);
        m_daemon = -1;
    }
}

PrivateBus::~PrivateBus() {
    if (m_daemon > 0) {
        kill(m_daemon, SIGTERM);
        waitpid(m_daemon, nullptr, 0);
    }
    std::error_code ignored;
    if (!m_root.empty()) fs::remove_all(m_root, ignored);
}

std::string PrivateBus::AsMember(const std::string& command) const {
    const std::string gid = std::to_string(m_clientGid);
    return "setpriv --reuid=65534 --regid=" + gid + " --groups=" + gid + " " + command;
}

std::string PrivateBus::AsOutsider(const std::string& command) const {
    return "setpriv --reuid=65534 --regid=65534 --clear-groups " + command;
}

void PrivateBus::InstallActivation(const std::string& module) {
    std::string text =
        ReadAll(std::string(FYB_DBUS_TEMPLATES) + "/org.fybootp.FyBootpServer.service.in");
    text = Replace(Replace(text, "@WORK_DIR@", ServerDirectory()), "@MODULE@", module);
    text = Replace(text, "@UNIT@", "fybootp-local.service");
    WriteAll(ServiceDirectory(m_root) + "/org.fybootp.FyBootpServer.service", text);
    // The daemon reads its service directory again on this call.
    if (sd_bus* bus = Connect()) {
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ReloadConfig", nullptr, nullptr, "");
        sd_bus_flush_close_unref(bus);
    }
}

void PrivateBus::SeedAppId(bool localService) {
    registry::Registry registry(StateDirectory() + "/registry");
    registry::HKEY key{};
    registry.CreateKey(registry::HKEY_CLASSES_ROOT, "AppID\\" + GuidToString(APPID_FyBootp), &key);
    registry.SetString(key, "", "FyBootp");
    if (localService) registry.SetString(key, "LocalService", "FyBootp");
    registry.CloseKey(key);
}

sd_bus* PrivateBus::Connect() const {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, m_address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

bool PrivateBus::NameHasOwner() const {
    sd_bus* bus = Connect();
    if (bus == nullptr) return false;
    sd_bus_message* reply = nullptr;
    int has = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                           "org.fybootp.FyBootpServer") >= 0) {
        sd_bus_message_read(reply, "b", &has);
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return has != 0;
}

bool PrivateBus::WaitForName(bool owned, std::chrono::milliseconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (NameHasOwner() != owned) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

CallMonitor::CallMonitor(const PrivateBus& bus, const std::string& member) : m_member(member) {
    if (sd_bus_new(&m_bus) < 0) return;
    const std::string rule = "type='method_call',member='" + member + "'";
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    if (sd_bus_set_address(m_bus, bus.Address().c_str()) < 0 || sd_bus_set_bus_client(m_bus, 1) < 0 ||
        sd_bus_set_monitor(m_bus, 1) < 0 || sd_bus_start(m_bus) < 0 ||
        sd_bus_call_method(m_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus.Monitoring", "BecomeMonitor", &error, nullptr,
                           "asu", 1, rule.c_str(), 0u) < 0) {
        m_bus = sd_bus_flush_close_unref(m_bus);
    }
    sd_bus_error_free(&error);
}

CallMonitor::~CallMonitor() { sd_bus_flush_close_unref(m_bus); }

bool CallMonitor::WaitForCalls(int count, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (m_bus != nullptr && m_seen < count) {
        sd_bus_message* message = nullptr;
        const int r = sd_bus_process(m_bus, &message);
        if (message != nullptr) {
            const char* member = sd_bus_message_get_member(message);
            if (sd_bus_message_is_method_call(message, nullptr, nullptr) > 0 && member != nullptr &&
                m_member == member) {
                ++m_seen;
            }
            sd_bus_message_unref(message);
        }
        if (r < 0) return false;
        if (r > 0) continue;
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= 0ms) return false;
        sd_bus_wait(m_bus, static_cast<std::uint64_t>(
                               std::chrono::duration_cast<std::chrono::microseconds>(left).count()));
    }
    return m_bus != nullptr;
}

Child::Child(const std::string& program, std::vector<std::string> argv,
             std::vector<std::string> extraEnv, const std::string& workingDirectory) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (const std::string& entry : extraEnv) putenv(const_cast<char*>(entry.c_str()));
        if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) _exit(126);
        // The signals the server handles are blocked in the test's threads;
        // a child starts with none blocked, as from a shell.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<char*> args;
        for (std::string& arg : argv) args.push_back(arg.data());
        args.push_back(nullptr);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_out = out[0];
    m_err = err[0];
    fcntl(m_out, F_SETFL, O_NONBLOCK);
    fcntl(m_err, F_SETFL, O_NONBLOCK);
}

Child::~Child() {
    if (Running()) {
        kill(m_pid, SIGKILL);
        Wait(5s);
    }
    if (m_out >= 0) close(m_out);
    if (m_err >= 0) close(m_err);
}

void Child::Drain() {
    char buffer[4096];
    for (auto [fd, text] : {std::pair{m_out, &m_stdout}, std::pair{m_err, &m_stderr}}) {
        ssize_t got = 0;
        while (fd >= 0 && (got = read(fd, buffer, sizeof(buffer))) > 0) {
            text->append(buffer, static_cast<std::size_t>(got));
        }
    }
}

std::optional<int> Child::Wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!m_exit && m_pid > 0) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        Drain();
        if (std::chrono::steady_clock::now() > end) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
    Drain();
    return m_exit;
}

bool Child::Running() { return m_pid > 0 && !Wait(0ms).has_value(); }

void Child::Signal(int number) {
    if (Running()) kill(m_pid, number);
}

const std::string& Child::Stdout() {
    Drain();
    return m_stdout;
}

const std::string& Child::Stderr() {
    Drain();
    return m_stderr;
}

}  // namespace fybootp::testing
