#pragma once
// The node table: rows in table order, plus the index that finds the first
// row of a hardware address. Every change goes through here so that the
// index always follows the rows. A change that runs out of memory throws
// std::bad_alloc and leaves rows and index as they were: the receive thread
// must never see an index that has lost rows or points past them.

#include <cstddef>
#include <optional>
#include <type_traits>
#include <vector>

#include "core/bootp_types.h"
#include "core/mac_index.h"

namespace fybootp {

static_assert(std::is_nothrow_copy_assignable_v<BootpNode>,
              "erasing a row must not fail once its index is built");

class NodeTable {
public:
    const std::vector<BootpNode>& Rows() const { return m_rows; }
    std::size_t Size() const { return m_rows.size(); }
    bool Empty() const { return m_rows.empty(); }
    const BootpNode& operator[](std::size_t i) const { return m_rows[i]; }

    // The first row of mac in table order, or null.
    const BootpNode* FindFirst(const MacAddress& mac) const;
    // The address of that row, read from the index alone: the request path.
    std::optional<Ipv4Address> FirstAddressOf(const MacAddress& mac) const;

    void Replace(std::vector<BootpNode> rows);
    void Append(const BootpNode& row);
    void Assign(std::size_t position, const BootpNode& row);
    void Erase(std::size_t position);
    void Clear();

private:
    std::vector<BootpNode> m_rows;
    MacIndex m_index;
};

}  // namespace fybootp
