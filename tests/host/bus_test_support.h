#pragma once
// A whole FyBootp system in a scratch FYBOOTP_ROOT with a private bus of
// its own: a dbus-daemon of session type whose service directory and policy
// directory are the root's, with the activation file and the policy
// installed from the templates in host/dbus. The machine's own bus is never
// touched. Also: the server executable run as a child, with its exit code
// and output.
//
// The test process enters a mount namespace of its own first, in which
// /etc/passwd and /etc/group are copies (the root's etc/passwd and
// etc/group) that add the server's user `_fybootp` and the callers' group
// `fybootp`: the daemon resolves its policy's names there, the server drops
// to that user, callers take other identities with setpriv. The machine's
// own account files are never changed.

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fybootp::testing {

using namespace std::chrono_literals;

// How the daemon differs from a session bus that allows everything.
struct BusOptions {
    // The default policy of Debian's system.conf: a method call goes
    // through only where a rule allows it, as on the system bus.
    bool systemPolicy = false;
    // dbus-daemon's limits; 0 keeps its default.
    int maxMatchRulesPerConnection = 0;
    int maxConnectionsPerUser = 0;
    // Where the daemon listens; "" for ROOT/run/bus.sock. A test that stands
    // for another machine puts it where the system bus is,
    // /run/dbus/system_bus_socket, in a mount namespace of its own.
    std::string socketPath{};
};

class PrivateBus {
public:
    // Sets FYBOOTP_ROOT and FYBOOTP_BUS_ADDRESS in this process (which the
    // daemon, the servers it starts and the children of the test inherit).
    // Null and the reason when the daemon does not start.
    static std::unique_ptr<PrivateBus> Start(std::string* whyNot, const BusOptions& options = {});
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& Root() const { return m_root; }
    const std::string& Address() const { return m_address; }
    std::string StateDirectory() const { return m_root + "/var/lib/fybootp"; }
    // The server's working directory, owned by _fybootp, where
    // FyBootpInfo.xml lives.
    std::string ServerDirectory() const { return StateDirectory() + "/server"; }
    uid_t ServerUid() const { return m_serverUid; }
    gid_t ServerGid() const { return m_serverGid; }
    // The gid of group fybootp, whose members may call the server.
    gid_t ClientGid() const { return m_clientGid; }
    // A command line that runs `command` as a member of group fybootp
    // (uid 65534, the group as its primary and only supplementary group),
    // or as a user outside it.
    std::string AsMember(const std::string& command) const;
    std::string AsOutsider(const std::string& command) const;

    // The activation file, with an Exec line that starts `module`.
    void InstallActivation(const std::string& module);
    // HKCR\AppID\{DA184C20-...}, with "LocalService" when asked.
    void SeedAppId(bool localService);

    // A new client connection, or null.
    sd_bus* Connect() const;
    bool NameHasOwner() const;
    // Polls until the name is owned (or not), at most `limit`.
    bool WaitForName(bool owned, std::chrono::milliseconds limit = 10s) const;
    // Ends the daemon now, as a crash of the bus would.
    void KillDaemon();

private:
    PrivateBus() = default;
    std::string m_root;
    std::string m_address;
    pid_t m_daemon = -1;
    uid_t m_serverUid = 0;
    gid_t m_serverGid = 0;
    gid_t m_clientGid = 0;
};

// A monitor of the bus (BecomeMonitor) that counts the method calls of one
// member: once it has seen a call, the daemon has routed it, and the call
// waits in its destination's queue, even when that process is stopped.
class CallMonitor {
public:
    CallMonitor(const PrivateBus& bus, const std::string& member);
    ~CallMonitor();
    CallMonitor(const CallMonitor&) = delete;
    CallMonitor& operator=(const CallMonitor&) = delete;

    // Waits until `count` calls have been seen since the start, at most `limit`.
    bool WaitForCalls(int count, std::chrono::milliseconds limit);

private:
    sd_bus* m_bus = nullptr;
    std::string m_member;
    int m_seen = 0;
};

// Enters a mount namespace of the calling process's own, with /etc/passwd
// and /etc/group replaced by copies in ROOT/etc that hold `_fybootp`
// (user and group) and `fybootp`, at ids the machine does not use. The
// process must not have started threads yet. False and the reason when it
// cannot.
struct TestAccounts {
    uid_t serverUid = 0;
    gid_t serverGid = 0;
    gid_t clientGid = 0;
};
bool EnterAccountNamespace(const std::string& root, TestAccounts* accounts, std::string* whyNot);

// A child process with its standard output and error read into strings.
class Child {
public:
    // argv[0] is what the child sees as its name; `program` is run.
    Child(const std::string& program, std::vector<std::string> argv,
          std::vector<std::string> extraEnv = {}, const std::string& workingDirectory = "");
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }
    // The exit code (a signal gives 128 + its number), or nullopt while it
    // still runs after `limit`.
    std::optional<int> Wait(std::chrono::milliseconds limit);
    bool Running();
    void Signal(int number);
    // Everything written so far (and all of it once the child has ended).
    const std::string& Stdout();
    const std::string& Stderr();

private:
    void Drain();
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::optional<int> m_exit;
    std::string m_stdout;
    std::string m_stderr;
};

// The fybootp executable under test.
std::string FybootpPath();

// Runs a shell command; its exit code.
int Shell(const std::string& command);

}  // namespace fybootp::testing
