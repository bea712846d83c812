#include "core/node_table.h"

namespace fybootp {

const BootpNode* NodeTable::FindFirst(const MacAddress& mac) const {
    const auto position = m_index.Find(mac);
    return position ? &m_rows[*position] : nullptr;
}

void NodeTable::Replace(std::vector<BootpNode> rows) {
    m_rows = std::move(rows);
    m_index.Rebuild(m_rows);
}

void NodeTable::Append(const BootpNode& row) {
    m_rows.push_back(row);
    m_index.InsertIfAbsent(row.macAddr, static_cast<std::uint32_t>(m_rows.size() - 1));
}

void NodeTable::Assign(std::size_t position, const BootpNode& row) {
    const bool macChanged = m_rows[position].macAddr != row.macAddr;
    m_rows[position] = row;
    // A changed address can make this row the first of its new address, or
    // hand its old address on to a later row.
    if (macChanged) m_index.Rebuild(m_rows);
}

void NodeTable::Erase(std::size_t position) {
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(position));
    m_index.Rebuild(m_rows);
}

void NodeTable::Clear() {
    m_rows.clear();
    m_index.Clear();
}

}  // namespace fybootp
