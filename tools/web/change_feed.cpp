#include "tools/web/change_feed.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

#include "tools/client/change_signals.h"
#include "tools/client/client_failure.h"

namespace fybootp::web {

ChangeFeed::ChangeFeed(BusServerAccess& server, NodeTableCache& nodes, EventHub& events)
    : m_server(server), m_nodes(nodes), m_events(events) {}

ChangeFeed::~ChangeFeed() {
    if (m_thread.joinable()) {
        const char byte = 1;
        if (write(m_stop[1], &byte, 1) < 0) std::perror("fybootp-web: stopping the feed");
        m_thread.join();
    }
    for (const int fd : m_stop) {
        if (fd >= 0) close(fd);
    }
}

bool ChangeFeed::Start() {
    if (pipe2(m_stop, O_CLOEXEC) != 0) return false;
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool ChangeFeed::Pause() {
    pollfd stop{m_stop[0], POLLIN, 0};
    return poll(&stop, 1, 1000) == 0;
}

void ChangeFeed::Run() {
    // A server that is not there is retried every second; the reason is
    // said once, not every second.
    std::string said;
    const auto say = [&said](const std::string& problem) {
        if (problem != said) std::fprintf(stderr, "fybootp-web: %s\n", problem.c_str());
        said = problem;
    };
    do {
        try {
            tools::ServerChangeSignals signals(m_server.ServerName(),
                                               tools::kLogChangeCnt | tools::kNewMacCnt,
                                               "listening for the server's changes");
            said.clear();
            // What changed while nobody listened is unknown: the page
            // refetches everything once.
            m_nodes.MarkStale();
            for (const Change change : {Change::kNew, Change::kLog, Change::kNodes, Change::kServer}) {
                m_events.Publish(change);
            }
            while (const unsigned moved = signals.Wait(m_stop[0])) {
                // Any change of the server may come with a change of the
                // table that no count shows.
                m_nodes.MarkStale();
                if (moved & tools::kNewMacCnt) m_events.Publish(Change::kNew);
                if (moved & tools::kLogChangeCnt) {
                    m_events.Publish(Change::kLog);
                    m_events.Publish(Change::kNodes);
                    m_events.Publish(Change::kServer);
                }
            }
            return;
        } catch (const tools::Failure& failure) {
            say(failure.what + ": " + tools::StatusText(failure.status));
        } catch (const std::exception& error) {
            say(std::string("listening for the server's changes: ") + error.what());
        }
    } while (Pause());
}

}  // namespace fybootp::web
