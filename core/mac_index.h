#pragma once
// Hardware address -> its first row, as an open-addressing hash table, so
// that a lookup costs the same whatever the size of the node table. Each
// slot also holds that row's IPv4 address: answering a request then reads
// one slot and never the row itself, one cache miss instead of two.

#include <cstdint>
#include <optional>
#include <vector>

#include "core/bootp_types.h"
#include "platform/memory/large_block.h"

namespace fybootp {

class MacIndex {
public:
    struct Match {
        std::uint32_t position;  // of the first row with the address
        Ipv4Address ipAddr;      // that row's address
    };

    // Every change either completes or, when memory runs out, throws
    // std::bad_alloc and leaves the index as it was: the receive thread goes
    // on answering from it.

    MacIndex() = default;
    MacIndex(MacIndex&& other) noexcept;
    MacIndex& operator=(MacIndex&& other) noexcept;

    // The index of count rows, row i being rowAt(i): each address maps to
    // its first row in table order. Built whole before it replaces anything,
    // so that a table can change its rows only once their index exists.
    template <class RowAt>
    static MacIndex Build(std::size_t count, RowAt&& rowAt);
    // Records the row unless its address is already present (first match
    // wins, so an appended duplicate is never the one found).
    void InsertIfAbsent(const BootpNode& row, std::uint32_t position);
    // The row at position now has ipAddr; the index follows if that row is
    // the one it finds for the address.
    void UpdateAddress(const MacAddress& mac, std::uint32_t position, Ipv4Address ipAddr);
    std::optional<Match> Find(const MacAddress& mac) const;
    void Clear();

private:
    struct Slot {
        std::uint64_t key;
        std::uint32_t position;
        Ipv4Address ipAddr;
    };
    static_assert(sizeof(Slot) == 16, "four slots to a cache line");
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // no 48-bit key is all ones

    Slot* Slots() const { return static_cast<Slot*>(m_block.Data()); }
    std::size_t SlotOf(std::uint64_t key) const;
    std::size_t Next(std::size_t slot) const;
    void Allocate(std::size_t capacity);
    void Grow(std::size_t minimumEntries);
    Slot* Locate(std::uint64_t key) const;
    void Place(const Slot& slot);

    memory::LargeBlock m_block;
    std::size_t m_capacity = 0;
    std::size_t m_entries = 0;
};

template <class RowAt>
MacIndex MacIndex::Build(std::size_t count, RowAt&& rowAt) {
    MacIndex index;
    index.Grow(count);
    for (std::size_t i = 0; i < count; ++i) {
        const BootpNode& row = rowAt(i);
        index.Place(Slot{MacKey(row.macAddr), static_cast<std::uint32_t>(i), row.ipAddr});
    }
    return index;
}

}  // namespace fybootp
