#include "tools/web/node_table.h"

#include <algorithm>
#include <cctype>

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

std::shared_ptr<const NodeTable> NodeTableCache::Get(ServerAccess& server) {
    std::lock_guard<std::mutex> hold(m_lock);
    const auto now = Clock::now();
    if (m_table && now - m_readAt < m_maxAge) return m_table;
    // The lock is held across the read, so that requests which arrive
    // together share one read instead of each making its own.
    auto table = std::make_shared<NodeTable>();
    table->rows = tools::ReadNodes(server.NodesXml());
    table->displayMacs.reserve(table->rows.size());
    for (const tools::NodeRow& row : table->rows) {
        table->displayMacs.push_back(tools::MacDisplay(row.macAddr));
    }
    m_table = std::move(table);
    m_readAt = now;
    return m_table;
}

void NodeTableCache::Invalidate() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_table.reset();
}

}  // namespace fybootp::web
