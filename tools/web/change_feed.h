#pragma once
// The thread that turns the server's PropertiesChanged signals into the
// page's events: NewMacCnt as "new", LogChangeCnt as "log" (and "nodes"
// and "server", which the page refetches with it). It also marks the
// cached node table stale. When the server goes away it listens again to
// the next one, once a second, until the program ends.

#include <thread>

#include "tools/web/bus_server_access.h"
#include "tools/web/event_hub.h"
#include "tools/web/node_table.h"

namespace fybootp::web {

class ChangeFeed {
public:
    ChangeFeed(BusServerAccess& server, NodeTableCache& nodes, EventHub& events);
    // Stops and joins the thread.
    ~ChangeFeed();
    ChangeFeed(const ChangeFeed&) = delete;
    ChangeFeed& operator=(const ChangeFeed&) = delete;

    // False when the thread could not be made; the page then is not live.
    bool Start();

private:
    void Run();
    bool Pause();  // false when stopped meanwhile

    BusServerAccess& m_server;
    NodeTableCache& m_nodes;
    EventHub& m_events;
    int m_stop[2] = {-1, -1};
    std::thread m_thread;
};

}  // namespace fybootp::web
