#pragma once
// Hardware address -> position of its first row, as an open-addressing hash
// table, so that a lookup costs one or two cache lines whatever the size of
// the node table. Built in one pass; never shrinks a single entry.

#include <cstdint>
#include <optional>
#include <vector>

#include "core/bootp_types.h"

namespace fybootp {

class MacIndex {
public:
    // Rebuilds from rows: each address maps to its first row in table order.
    void Rebuild(const std::vector<BootpNode>& rows);
    // Records position for mac unless mac is already present (first match
    // wins, so an appended duplicate is never the one found).
    void InsertIfAbsent(const MacAddress& mac, std::uint32_t position);
    std::optional<std::uint32_t> Find(const MacAddress& mac) const;
    void Clear();

private:
    struct Slot {
        std::uint64_t key;
        std::uint32_t position;
    };
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // no 48-bit key is all ones

    std::size_t SlotOf(std::uint64_t key) const;
    void Grow(std::size_t minimumEntries);
    void Place(std::uint64_t key, std::uint32_t position);

    std::vector<Slot> m_slots;
    std::size_t m_entries = 0;
    unsigned m_shift = 64;
};

}  // namespace fybootp
