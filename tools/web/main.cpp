// fybootp-web: the operator's page over HTTP, a client of the server's bus
// like fybootpctl. It makes its socket as root, drops to nobody with group
// fybootp, and serves until SIGTERM or SIGINT.

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "host/system_accounts.h"
#include "tools/web/bus_server_access.h"
#include "tools/web/change_feed.h"
#include "tools/web/http_daemon.h"
#include "tools/web/listen_socket.h"
#include "tools/web/privilege_drop.h"
#include "tools/web/request_checks.h"
#include "tools/web/router.h"

namespace fybootp::web {
namespace {

constexpr char kUsage[] =
    "usage: fybootp-web [--socket PATH] [--listen 127.0.0.1:PORT]\n"
    "Serves the operator's page. By default on the Unix socket\n"
    "$FYBOOTP_ROOT/run/fybootp/web.sock (root:fybootp 0660): whoever can open it is an\n"
    "operator; from elsewhere: ssh -L 8067:/run/fybootp/web.sock HOST, then open\n"
    "http://localhost:8067/. --listen serves on a loopback port instead and prints\n"
    "the address to open, with a token that every request must carry.\n";

// How long a parsed node table is served before it is read again when
// nothing said that it changed.
constexpr auto kTableMaxAge = std::chrono::seconds(2);

struct Options {
    std::string socketPath;
    std::string listen;
};

std::optional<Options> ParseOptions(int argc, char** argv, int* exitCode) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            *exitCode = 0;
            return std::nullopt;
        }
        if ((arg == "--socket" || arg == "--listen") && i + 1 < argc) {
            (arg == "--socket" ? options.socketPath : options.listen) = argv[++i];
            continue;
        }
        std::fprintf(stderr, "fybootp-web: unknown argument '%s'\n%s", arg.c_str(), kUsage);
        *exitCode = 2;
        return std::nullopt;
    }
    if (!options.socketPath.empty() && !options.listen.empty()) {
        std::fputs("fybootp-web: --socket and --listen exclude each other\n", stderr);
        *exitCode = 2;
        return std::nullopt;
    }
    return options;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "fybootp-web: %s\n", message.c_str());
    return 1;
}

int Serve(const Options& options) {
    // Signals are taken by sigwait below, in no thread of the library's.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const std::optional<gid_t> operators = host::FindSystemGroup(host::kClientGroup);
    std::string why;
    std::optional<Listener> listener;
    std::string announce;
    std::string token;
    if (!options.listen.empty()) {
        token = RandomToken();
        if (token.empty()) return Fail("no random token: getrandom failed");
        listener = LoopbackListener(options.listen, &why);
        if (listener) {
            announce = "open http://127.0.0.1:" + std::to_string(listener->port) + "/?token=" + token;
        }
    } else {
        bool failed = false;
        listener = InheritedListener(&why, &failed);
        if (!listener && !failed) {
            if (!operators) return Fail("group fybootp does not exist: register the server first");
            listener = UnixListener(
                options.socketPath.empty() ? DefaultSocketPath() : options.socketPath, *operators,
                &why);
        }
        if (listener) announce = "listening on " + listener->description;
    }
    if (!listener) return Fail(why);
    if (geteuid() == 0 || getuid() == 0) {
        if (!operators) return Fail("group fybootp does not exist: register the server first");
        if (!DropRoot(*operators, &why)) return Fail("cannot drop root: " + why);
    }
    const std::string csrf = RandomToken();
    if (csrf.empty()) return Fail("no random token: getrandom failed");

    BusServerAccess server;
    NodeTableCache nodes(kTableMaxAge);
    EventHub events;
    const PageFiles page(PageFiles::InstalledFolder());
    Router router({csrf, token}, page, WebContext{server, nodes, events});
    if (!nodes.StartBackgroundReads(server, [&events] { events.Publish(Change::kNodes); })) {
        return Fail("cannot start the thread that reads the node table");
    }
    HttpDaemon daemon(router, events);
    if (!daemon.Start(listener->fd, &why)) return Fail(why);
    ChangeFeed feed(server, nodes, events);
    if (!feed.Start()) return Fail("cannot start the thread that follows the server");
    std::printf("fybootp-web: %s\n", announce.c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    // Open event streams end first, so that the library's threads can be
    // joined.
    events.Close();
    return 0;
}

}  // namespace
}  // namespace fybootp::web

int main(int argc, char** argv) {
    int exitCode = 0;
    const auto options = fybootp::web::ParseOptions(argc, argv, &exitCode);
    if (!options) return exitCode;
    return fybootp::web::Serve(*options);
}
