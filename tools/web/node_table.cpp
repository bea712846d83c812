#include "tools/web/node_table.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "tools/client/address_args.h"

namespace fybootp::web {
namespace {

std::string UpperMacFilter(std::string_view filter) {
    std::string upper(filter);
    for (char& c : upper) {
        c = c == '-' ? ':' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

}  // namespace

NodePage SelectNodes(const NodeTable& table, std::string_view filter, std::size_t offset,
                     std::size_t limit) {
    NodePage page;
    page.total = table.rows.size();
    const std::string macFilter = UpperMacFilter(filter);
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const tools::NodeRow& row = table.rows[i];
        const bool matches = filter.empty() ||
                             row.macAddr.find(macFilter) != std::string::npos ||
                             table.displayMacs[i].find(macFilter) != std::string::npos ||
                             row.ipAddr.find(filter) != std::string::npos;
        if (!matches) continue;
        if (page.matched >= offset && page.rows.size() < limit) page.rows.push_back(i);
        ++page.matched;
    }
    return page;
}

NodeTableCache::~NodeTableCache() {
    {
        MutexLock hold(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_reader.joinable()) m_reader.join();
}

bool NodeTableCache::StartBackgroundReads(ServerAccess& server, std::function<void()> changed) {
    try {
        m_reader = std::thread(
            [this, &server, changed = std::move(changed)] { ReadInBackground(server, changed); });
    } catch (const std::system_error&) {
        return false;
    }
    MutexLock hold(m_lock);
    m_background = true;
    // Read once at the start, so that the first page does not wait for it.
    m_wanted = true;
    m_wake.notify_all();
    return true;
}

bool NodeTableCache::Fresh() const { return !m_stale && Clock::now() - m_readAt < m_maxAge; }

std::shared_ptr<const NodeTable> NodeTableCache::Get(ServerAccess& server) {
    {
        MutexLock hold(m_lock);
        if (m_table && Fresh()) return m_table;
        if (m_table && m_background) {
            m_wanted = true;
            m_wake.notify_all();
            return m_table;
        }
    }
    Read(server);
    MutexLock hold(m_lock);
    return m_table;
}

void NodeTableCache::Refresh(ServerAccess& server) { Read(server); }

void NodeTableCache::MarkStale() {
    MutexLock hold(m_lock);
    m_stale = true;
}

bool NodeTableCache::Read(ServerAccess& server) {
    MutexLock reading(m_readLock);
    // Marked before the fetch: a change after it marks the table stale again.
    {
        MutexLock hold(m_lock);
        m_stale = false;
    }
    auto table = std::make_shared<NodeTable>();
    try {
        table->rows = tools::ReadNodes(server.NodesXml());
    } catch (...) {
        MutexLock hold(m_lock);
        m_stale = true;
        throw;
    }
    table->displayMacs.reserve(table->rows.size());
    for (const tools::NodeRow& row : table->rows) {
        table->displayMacs.push_back(tools::MacDisplay(row.macAddr));
    }
    MutexLock hold(m_lock);
    const bool differs = !m_table || m_table->rows.size() != table->rows.size() ||
                         !std::equal(table->rows.begin(), table->rows.end(), m_table->rows.begin(),
                                     [](const tools::NodeRow& a, const tools::NodeRow& b) {
                                         return a.macAddr == b.macAddr && a.ipAddr == b.ipAddr;
                                     });
    m_table = std::move(table);
    m_readAt = Clock::now();
    return differs;
}

void NodeTableCache::ReadInBackground(ServerAccess& server, const std::function<void()>& changed) {
    // At most one background read a second, however often it is asked for:
    // the server builds the whole text for each.
    constexpr auto kGap = std::chrono::seconds(1);
    for (;;) {
        {
            MutexLock hold(m_lock);
            m_wake.wait(m_lock, [this]() FYB_NO_THREAD_SAFETY_ANALYSIS {
                return m_stop || m_wanted;
            });
            if (m_stop) return;
            m_wanted = false;
        }
        try {
            if (Read(server)) changed();
        } catch (...) {
            // The next request asks again; it is answered from the old table.
        }
        MutexLock hold(m_lock);
        m_wake.wait_for(m_lock, kGap, [this]() FYB_NO_THREAD_SAFETY_ANALYSIS { return m_stop; });
        if (m_stop) return;
    }
}

}  // namespace fybootp::web
