#include "tools/web/listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/system_paths.h"

namespace fybootp::web {
namespace {

constexpr int kBacklog = 64;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// The folder holding the socket: made when missing, root:group 0750 in
// any case, so that only operators can reach the socket at all.
bool PrepareFolder(const std::string& folder, gid_t group, std::string* why) {
    const std::size_t slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        // The folders above (ROOT/run) are the system's: 0755 when made.
        const std::string parent = folder.substr(0, slash);
        struct stat info {};
        if (stat(parent.c_str(), &info) != 0 && mkdir(parent.c_str(), 0755) != 0) {
            *why = Errno("cannot make " + parent);
            return false;
        }
    }
    if (mkdir(folder.c_str(), 0750) != 0 && errno != EEXIST) {
        *why = Errno("cannot make " + folder);
        return false;
    }
    if (chown(folder.c_str(), 0, group) != 0 || chmod(folder.c_str(), 0750) != 0) {
        *why = Errno("cannot make " + folder + " root:fybootp 0750");
        return false;
    }
    return true;
}

}  // namespace

std::string DefaultSocketPath() {
    std::string root = host::SystemRoot();
    if (root.back() != '/') root += '/';
    return root + "run/fybootp/web.sock";
}

std::optional<Listener> InheritedListener(std::string* why, bool* failed) {
    *failed = false;
    const int count = sd_listen_fds(1);
    if (count == 0) return std::nullopt;
    if (count != 1) {
        *why = count < 0 ? std::string("sd_listen_fds: ") + std::strerror(-count)
                         : "systemd passed " + std::to_string(count) + " sockets, not one";
        *failed = true;
        return std::nullopt;
    }
    return Listener{SD_LISTEN_FDS_START, "the socket that systemd passed", 0};
}

std::optional<Listener> UnixListener(const std::string& path, gid_t group, std::string* why) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        *why = "the socket path " + path + " is too long";
        return std::nullopt;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !PrepareFolder(path.substr(0, slash), group, why)) {
        return std::nullopt;
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            *why = path + " exists and is not a socket";
            return std::nullopt;
        }
        unlink(path.c_str());
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = Errno("socket");
        return std::nullopt;
    }
    // Made 0600 and then opened to the group: never, even for a moment,
    // open to anyone else.
    const mode_t old = umask(0177);
    const int bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    umask(old);
    if (bound != 0 || chown(path.c_str(), 0, group) != 0 || chmod(path.c_str(), 0660) != 0 ||
        listen(fd, kBacklog) != 0) {
        *why = Errno("cannot listen on " + path);
        close(fd);
        return std::nullopt;
    }
    return Listener{fd, path, 0};
}

std::optional<Listener> LoopbackListener(const std::string& text, std::string* why) {
    constexpr char kPrefix[] = "127.0.0.1:";
    const std::string portText = text.rfind(kPrefix, 0) == 0 ? text.substr(sizeof(kPrefix) - 1) : "";
    unsigned long port = 70000;
    if (!portText.empty() && portText.size() <= 5 &&
        portText.find_first_not_of("0123456789") == std::string::npos) {
        port = std::stoul(portText);
    }
    if (port > 65535) {
        *why = "--listen takes 127.0.0.1:PORT, not '" + text + "'";
        return std::nullopt;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = Errno("socket");
        return std::nullopt;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, kBacklog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *why = Errno("cannot listen on " + text);
        close(fd);
        return std::nullopt;
    }
    const unsigned bound = ntohs(address.sin_port);
    return Listener{fd, "127.0.0.1:" + std::to_string(bound), bound};
}

}  // namespace fybootp::web
