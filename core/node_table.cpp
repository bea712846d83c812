#include "core/node_table.h"

namespace fybootp {

const BootpNode* NodeTable::FindFirst(const MacAddress& mac) const {
    const auto match = m_index.Find(mac);
    return match ? &m_rows[match->position] : nullptr;
}

std::optional<Ipv4Address> NodeTable::FirstAddressOf(const MacAddress& mac) const {
    const auto match = m_index.Find(mac);
    if (!match) return std::nullopt;
    return match->ipAddr;
}

void NodeTable::Replace(std::vector<BootpNode> rows) {
    m_rows = std::move(rows);
    m_index.Rebuild(m_rows);
}

void NodeTable::Append(const BootpNode& row) {
    m_rows.push_back(row);
    m_index.InsertIfAbsent(row, static_cast<std::uint32_t>(m_rows.size() - 1));
}

void NodeTable::Assign(std::size_t position, const BootpNode& row) {
    const bool macChanged = m_rows[position].macAddr != row.macAddr;
    m_rows[position] = row;
    // A changed address can make this row the first of its new address, or
    // hand its old address on to a later row.
    if (macChanged) {
        m_index.Rebuild(m_rows);
    } else {
        m_index.UpdateAddress(row.macAddr, static_cast<std::uint32_t>(position), row.ipAddr);
    }
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
