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
    MacIndex index = MacIndex::Build(rows.size(), [&](std::size_t i) -> const BootpNode& {
        return rows[i];
    });
    m_rows = std::move(rows);
    m_index = std::move(index);
}

void NodeTable::Append(const BootpNode& row) {
    m_rows.push_back(row);
    try {
        m_index.InsertIfAbsent(row, static_cast<std::uint32_t>(m_rows.size() - 1));
    } catch (...) {
        m_rows.pop_back();  // a row the index does not know would never be answered
        throw;
    }
}

void NodeTable::Assign(std::size_t position, const BootpNode& row) {
    if (m_rows[position].macAddr == row.macAddr) {
        m_rows[position] = row;
        m_index.UpdateAddress(row.macAddr, static_cast<std::uint32_t>(position), row.ipAddr);
        return;
    }
    // A changed address can make this row the first of its new address, or
    // hand its old address on to a later row.
    MacIndex index = MacIndex::Build(m_rows.size(), [&](std::size_t i) -> const BootpNode& {
        return i == position ? row : m_rows[i];
    });
    m_rows[position] = row;
    m_index = std::move(index);
}

void NodeTable::Erase(std::size_t position) {
    MacIndex index = MacIndex::Build(m_rows.size() - 1, [&](std::size_t i) -> const BootpNode& {
        return m_rows[i < position ? i : i + 1];
    });
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(position));
    m_index = std::move(index);
}

void NodeTable::Clear() {
    m_rows.clear();
    m_index.Clear();
}

}  // namespace fybootp
