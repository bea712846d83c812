#include "core/mac_index.h"

#include <algorithm>
#include <utility>

namespace fybootp {

namespace {

__extension__ using Wide = unsigned __int128;

// Slots for that many entries at a load of at most 7/10, in whole cache
// lines. Not rounded up to a power of two: at a million rows that rounding
// alone would cost 11 MB.
std::size_t CapacityFor(std::size_t entries) {
    const std::size_t slots = std::max<std::size_t>(16, (entries * 10 + 6) / 7);
    return (slots + 3) & ~std::size_t{3};
}

}  // namespace

std::size_t MacIndex::SlotOf(std::uint64_t key) const {
    // Fibonacci hashing spreads the low-entropy vendor prefix and serial bits
    // of hardware addresses over the top bits; the multiply-shift maps those
    // onto [0, capacity) without a division.
    const std::uint64_t hash = key * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>((Wide{hash} * m_capacity) >> 64);
}

std::size_t MacIndex::Next(std::size_t slot) const { return slot + 1 == m_capacity ? 0 : slot + 1; }

void MacIndex::Allocate(std::size_t capacity) {
    m_block = memory::LargeBlock(capacity * sizeof(Slot));
    m_capacity = capacity;
    m_entries = 0;
    Slot* slots = Slots();
    for (std::size_t i = 0; i < capacity; ++i) slots[i] = Slot{kEmpty, 0, 0};
}

MacIndex::MacIndex(MacIndex&& other) noexcept
    : m_block(std::move(other.m_block)),
      m_capacity(std::exchange(other.m_capacity, 0)),
      m_entries(std::exchange(other.m_entries, 0)) {}

MacIndex& MacIndex::operator=(MacIndex&& other) noexcept {
    if (this != &other) {
        m_block = std::move(other.m_block);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_entries = std::exchange(other.m_entries, 0);
    }
    return *this;
}

void MacIndex::Grow(std::size_t minimumEntries) {
    // A load of at most 7/10 keeps probe runs short. A table built whole
    // gets just that; one that grows row by row doubles, so that appends
    // stay cheap on average.
    if (minimumEntries * 10 <= m_capacity * 7) return;
    const std::size_t capacity = CapacityFor(std::max(minimumEntries, m_entries * 2));
    // The new block is filled before the old one goes: a failed allocation
    // throws here and leaves this index whole.
    MacIndex grown;
    grown.Allocate(capacity);
    const Slot* slots = Slots();
    for (std::size_t i = 0; i < m_capacity; ++i) {
        if (slots[i].key != kEmpty) grown.Place(slots[i]);
    }
    *this = std::move(grown);
}

MacIndex::Slot* MacIndex::Locate(std::uint64_t key) const {
    if (m_capacity == 0) return nullptr;
    Slot* slots = Slots();
    for (std::size_t i = SlotOf(key);; i = Next(i)) {
        if (slots[i].key == key) return &slots[i];
        if (slots[i].key == kEmpty) return nullptr;
    }
}

void MacIndex::Place(const Slot& slot) {
    Slot* slots = Slots();
    for (std::size_t i = SlotOf(slot.key);; i = Next(i)) {
        if (slots[i].key == slot.key) return;
        if (slots[i].key == kEmpty) {
            slots[i] = slot;
            ++m_entries;
            return;
        }
    }
}

void MacIndex::InsertIfAbsent(const BootpNode& row, std::uint32_t position) {
    Grow(m_entries + 1);
    Place(Slot{MacKey(row.macAddr), position, row.ipAddr});
}

void MacIndex::UpdateAddress(const MacAddress& mac, std::uint32_t position, Ipv4Address ipAddr) {
    Slot* slot = Locate(MacKey(mac));
    if (slot != nullptr && slot->position == position) slot->ipAddr = ipAddr;
}

std::optional<MacIndex::Match> MacIndex::Find(const MacAddress& mac) const {
    const Slot* slot = Locate(MacKey(mac));
    if (slot == nullptr) return std::nullopt;
    return Match{slot->position, slot->ipAddr};
}

void MacIndex::Clear() {
    m_block = memory::LargeBlock();
    m_capacity = 0;
    m_entries = 0;
}

}  // namespace fybootp
