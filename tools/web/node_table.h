#pragma once
// The node table as the page pages through it. The server hands out the
// whole BootpInfosXml at once, and with 100,000 nodes reading and parsing
// it takes about half a second, more than a page may take. So the parsed
// table is kept, and read again:
//  - at once after a change made through this program, before its POST is
//    answered, so that the page's next request shows the change;
//  - in the background when it may have changed elsewhere: when the
//    server's change counts moved, or when it is older than a few seconds
//    (another client may have edited it without a word). Meanwhile
//    requests get the table as it was, and when the new one differs the
//    page is told to ask again.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/sync/annotated_mutex.h"
#include "tools/client/interface_texts.h"
#include "tools/web/server_access.h"

namespace fybootp::web {

struct NodeTable {
    std::vector<tools::NodeRow> rows;      // in the server's order
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
    // Stops the background reader.
    ~NodeTableCache();
    NodeTableCache(const NodeTableCache&) = delete;
    NodeTableCache& operator=(const NodeTableCache&) = delete;

    // From now on a table that may be stale is read again in the
    // background; `changed` is called when that brought a different table.
    // Without it (the router's tests) Get reads a stale table at once.
    bool StartBackgroundReads(ServerAccess& server, std::function<void()> changed);

    // The table; read now only when there is none yet (or it is stale and
    // nothing reads in the background). Throws a tools::Failure.
    std::shared_ptr<const NodeTable> Get(ServerAccess& server);
    // Reads the table now. Throws a tools::Failure.
    void Refresh(ServerAccess& server);
    // The table may have changed elsewhere.
    void MarkStale();

private:
    using Clock = std::chrono::steady_clock;
    bool Fresh() const FYB_REQUIRES(m_lock);
    // Reads and installs the table; true when it differs from the last.
    bool Read(ServerAccess& server) FYB_EXCLUDES(m_lock);
    void ReadInBackground(ServerAccess& server, const std::function<void()>& changed);

    const std::chrono::milliseconds m_maxAge;
    // One read at a time, so that a later read never installs an older
    // table than an earlier one.
    Mutex m_readLock;
    Mutex m_lock;
    std::condition_variable_any m_wake;
    std::shared_ptr<const NodeTable> m_table FYB_GUARDED_BY(m_lock);
    Clock::time_point m_readAt FYB_GUARDED_BY(m_lock);
    bool m_stale FYB_GUARDED_BY(m_lock) = false;
    bool m_wanted FYB_GUARDED_BY(m_lock) = false;
    bool m_stop FYB_GUARDED_BY(m_lock) = false;
    bool m_background FYB_GUARDED_BY(m_lock) = false;
    std::thread m_reader;
};

}  // namespace fybootp::web
