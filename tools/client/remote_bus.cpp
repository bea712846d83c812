#include "tools/client/remote_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/bus/bus_connection.h"

namespace fybootp::tools {
namespace {

using namespace std::chrono_literals;

// ssh's own exit code for its failures, and the shell's for a command it
// cannot find.
constexpr int kSshFailed = 255;
constexpr int kCommandNotFound = 127;
constexpr char kBridge[] = "systemd-stdio-bridge";

std::optional<RemoteHost> g_target;
std::optional<Failure> g_lastFailure;

// An ssh that carries a connection: its standard error is read when the
// connection fails, and passed on while it works.
struct Carrier {
    pid_t pid = -1;
    int errors = -1;
};
std::vector<Carrier> g_carriers;

bool IsHostCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
           c == '-' || c == '_' || c == ':' || c == '%';
}

bool IsUserCharacter(char c) { return IsHostCharacter(c) && c != ':' && c != '%'; }

bool ValidPort(const std::string& port) {
    if (port.empty() || port.size() > 5 || port[0] == '0') return false;
    for (const char c : port) {
        if (c < '0' || c > '9') return false;
    }
    return std::stoi(port) <= 65535;
}

// Whatever the pipe holds now, without waiting longer than `limit` for
// its writer to close it.
std::string ReadAvailable(int fd, std::chrono::milliseconds limit) {
    std::string text;
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(std::max(left.count(), 0L))) <= 0) break;
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// The exit code, or -1 when it had to be ended after `limit` or a signal
// ended it.
int WaitForExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGTERM);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ssh's words after the connection is up (a host added to known_hosts, a
// banner) are the operator's to see, with nothing that could forge a line.
void PassOn(const std::string& text, const std::string& host) {
    std::string line;
    for (const char c : text) {
        if (c == '\n') {
            std::fprintf(stderr, "%s: %s\n", host.c_str(), line.c_str());
            line.clear();
        } else if (c != '\r') {
            line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
        }
    }
    if (!line.empty()) std::fprintf(stderr, "%s: %s\n", host.c_str(), line.c_str());
}

// Carriers whose ssh has ended are reaped, so that a long `log --follow`
// that reconnects leaves no zombies.
void ReapEnded() {
    std::erase_if(g_carriers, [](const Carrier& carrier) {
        if (waitpid(carrier.pid, nullptr, WNOHANG) == 0) return false;
        close(carrier.errors);
        return true;
    });
}

std::string LastLine(const std::string& text) {
    std::size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return {};
    const std::size_t start = text.find_last_of('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end + 1 - (start == std::string::npos ? 0 : start + 1));
}

Failure Classified(const RemoteHost& host, int exitCode, const std::string& words) {
    Failure failure{"connecting to the system bus there",
                    RPC_S_SERVER_UNAVAILABLE,
                    Stage::kReaching,
                    {},
                    host.given,
                    words};
    const std::string said = LastLine(words);
    if (exitCode == kSshFailed) {
        failure.hint = "ssh failed" + (said.empty() ? std::string() : ": " + said);
    } else if (exitCode < 0) {
        failure.hint = "ssh ran, but no bus answered through it" +
                       (said.empty() ? std::string() : ": " + said);
    } else if (exitCode == kCommandNotFound) {
        failure.hint = std::string("there is no ") + kBridge + " there (it comes with systemd)" +
                       (said.empty() ? std::string() : ": " + said);
    } else {
        failure.status = CO_E_SERVER_EXEC_FAILURE;
        failure.hint = std::string(kBridge) + " there reached no system bus" +
                       (said.empty() ? std::string() : ": " + said);
    }
    return failure;
}

// ssh with the bus on its standard input and output; its standard error
// on a pipe of ours. Everything is prepared before the fork, so that the
// child only redirects and runs ssh.
pid_t SpawnSsh(const RemoteHost& host, int busEnd, int errorEnd) {
    std::vector<std::string> args{"ssh", "-xT"};
    if (!host.port.empty()) args.insert(args.end(), {"-p", host.port});
    args.insert(args.end(), {"--", host.target, kBridge});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(busEnd, STDIN_FILENO);
    dup2(busEnd, STDOUT_FILENO);
    dup2(errorEnd, STDERR_FILENO);
    execvp("ssh", argv.data());
    const char message[] = "cannot run ssh\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, message, sizeof(message) - 1);
    _exit(kSshFailed);
}

int StartBus(int fd, const RemoteHost& host, sd_bus** bus) {
    sd_bus* opened = nullptr;
    int r = sd_bus_new(&opened);
    if (r < 0) {
        close(fd);
        return r;
    }
    if ((r = sd_bus_set_fd(opened, fd, fd)) < 0) close(fd);
    const char* unique = nullptr;
    // The bus on the far side is not this machine's: nothing it says about
    // a process can be looked up here.
    if (r >= 0 && (r = sd_bus_set_bus_client(opened, 1)) >= 0 &&
        (r = sd_bus_set_trusted(opened, 0)) >= 0 &&
        (r = sd_bus_set_description(opened, host.given.c_str())) >= 0 &&
        (r = sd_bus_start(opened)) >= 0) {
        // The handshake completes here, so that a failure is told apart
        // now, while ssh's exit says why, and not at the first call.
        r = sd_bus_get_unique_name(opened, &unique);
    }
    if (r < 0) {
        sd_bus_flush_close_unref(opened);
        return r;
    }
    *bus = opened;
    return 0;
}

int OpenRemoteBus(const RemoteHost& host, sd_bus** bus) {
    ReapEnded();
    g_lastFailure.reset();
    int pair[2];
    int errors[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -errno;
    if (pipe2(errors, O_CLOEXEC) != 0) {
        const int r = -errno;
        close(pair[0]);
        close(pair[1]);
        return r;
    }
    const pid_t pid = SpawnSsh(host, pair[1], errors[1]);
    const int spawnError = errno;
    close(pair[1]);
    close(errors[1]);
    if (pid < 0) {
        close(pair[0]);
        close(errors[0]);
        return -spawnError;
    }
    const int r = StartBus(pair[0], host, bus);
    if (r >= 0) {
        fcntl(errors[0], F_SETFL, O_NONBLOCK);
        PassOn(ReadAvailable(errors[0], 0ms), host.given);
        g_carriers.push_back({pid, errors[0]});
        return r;
    }
    // The bus end is closed: ssh sees the end of its input and exits, if
    // it has not already.
    const int exitCode = WaitForExit(pid, 5s);
    std::string words = ReadAvailable(errors[0], 1s);
    std::erase(words, '\r');
    close(errors[0]);
    g_lastFailure = Classified(host, exitCode, words);
    return r;
}

}  // namespace

std::optional<RemoteHost> ParseRemoteHost(const std::string& text, std::string* why) {
    RemoteHost host{text, {}, {}};
    std::string rest = text;
    std::string user;
    if (const std::size_t at = rest.rfind('@'); at != std::string::npos) {
        user = rest.substr(0, at);
        rest = rest.substr(at + 1);
        for (const char c : user) {
            if (!IsUserCharacter(c)) {
                *why = "the user name holds '" + std::string(1, c) + "'";
                return std::nullopt;
            }
        }
        if (user.empty() || user[0] == '-') {
            *why = "expected a user name before '@'";
            return std::nullopt;
        }
    }
    std::string name = rest;
    bool hasPort = false;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        name = close == std::string::npos ? "" : rest.substr(1, close - 1);
        if (name.find(':') == std::string::npos) {
            *why = "brackets hold an IPv6 address: [ADDRESS]:PORT";
            return std::nullopt;
        }
        hasPort = close + 1 < rest.size();
        if (hasPort && rest[close + 1] != ':') {
            *why = "expected ':PORT' after ']'";
            return std::nullopt;
        }
        if (hasPort) host.port = rest.substr(close + 2);
    } else if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
        name = rest.substr(0, colon);
        host.port = rest.substr(colon + 1);
        hasPort = true;
    }
    if (hasPort && !ValidPort(host.port)) {
        *why = "the port is not a number from 1 to 65535 (an IPv6 address goes in brackets)";
        return std::nullopt;
    }
    if (name.empty() || name[0] == '-') {
        *why = "expected a host name or address";
        return std::nullopt;
    }
    for (const char c : name) {
        if (!IsHostCharacter(c)) {
            *why = "the host name holds '" + std::string(1, c) + "'";
            return std::nullopt;
        }
    }
    host.target = user.empty() ? name : user + "@" + name;
    return host;
}

void ReachThrough(const std::optional<RemoteHost>& host) {
    g_target = host;
    g_lastFailure.reset();
    if (!host) return bus::SetClientBusOpener({});
    bus::SetClientBusOpener([](sd_bus** bus) { return OpenRemoteBus(*g_target, bus); });
}

const RemoteHost* RemoteTarget() { return g_target ? &*g_target : nullptr; }

const Failure* LastRemoteFailure() { return g_lastFailure ? &*g_lastFailure : nullptr; }

}  // namespace fybootp::tools
