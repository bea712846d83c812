#pragma once
// Unknown maker addresses in the order first seen. Bounded: past the limit a
// further new address is ignored, so a flood of invented addresses cannot
// exhaust the server's memory. Lookups go through a hash set.

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "core/bootp_types.h"

namespace fybootp {

class NodeTable;

class NewMacList {
public:
    static constexpr std::size_t kDefaultLimit = 65536;

    explicit NewMacList(std::size_t limit = kDefaultLimit) : m_limit(limit) {}

    const std::vector<NewMacRecord>& Records() const { return m_records; }
    std::size_t Size() const { return m_records.size(); }
    std::size_t Limit() const { return m_limit; }
    bool Contains(const MacAddress& mac) const;

    enum class AppendResult { kAppended, kAlreadyListed, kFull };
    AppendResult AppendIfNew(const MacAddress& mac);

    // Removes the first record of mac; true when there was one.
    bool RemoveFirst(const MacAddress& mac);
    // Removes every record whose address the table lists, in one pass, and
    // returns how many were removed.
    std::size_t RemoveListedIn(const NodeTable& table);
    void Clear();

private:
    std::size_t m_limit;
    std::vector<NewMacRecord> m_records;
    std::unordered_set<std::uint64_t> m_keys;
};

}  // namespace fybootp
