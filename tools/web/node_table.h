#pragma once
// The node table as the page pages through it. The server hands out the
// whole BootpInfosXml at once; parsing 100,000 nodes for every page would
// be slow, so the parsed table is kept and read again only when it may
// have changed: after a change made through this program, when the
// server's change counts moved, or when it is older than a few seconds
// (another client may have edited it without a word).

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tools/client/interface_texts.h"
#include "tools/web/server_access.h"

namespace fybootp::web {

struct NodeTable {
    std::vector<tools::NodeRow> rows;  // in the server's order
    std::vector<std::string> displayMacs;  // 02:4B:77:00:00:01, per row
};

struct NodePage {
    std::size_t total = 0;
    std::size_t matched = 0;
    std::vector<std::size_t> rows;  // indexes into the table
};

// Rows whose MAC (either form, any case, '-' read as ':') or IP text
// holds `filter`, from the `offset`th match on, at most `limit`.
NodePage SelectNodes(const NodeTable& table, std::string_view filter, std::size_t offset,
                     std::size_t limit);

class NodeTableCache {
public:
    explicit NodeTableCache(std::chrono::milliseconds maxAge) : m_maxAge(maxAge) {}

    // The table, read from the server when it may have changed. Throws a
    // tools::Failure.
    std::shared_ptr<const NodeTable> Get(ServerAccess& server);
    // The next Get reads the table again.
    void Invalidate();

private:
    using Clock = std::chrono::steady_clock;
    const std::chrono::milliseconds m_maxAge;
    std::mutex m_lock;
    std::shared_ptr<const NodeTable> m_table;  // guarded by m_lock
    Clock::time_point m_readAt;                // guarded by m_lock
};

}  // namespace fybootp::web
