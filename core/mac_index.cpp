#include "core/mac_index.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace fybootp {

std::size_t MacIndex::SlotOf(std::uint64_t key) const {
    // Fibonacci hashing: the multiplier spreads the low-entropy vendor
    // prefix and serial bits of hardware addresses over the top bits.
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> m_shift);
}

void MacIndex::Allocate(std::size_t capacity) {
    m_block = memory::LargeBlock(capacity * sizeof(Slot));
    m_capacity = capacity;
    m_shift = 64u - static_cast<unsigned>(std::countr_zero(capacity));
    m_entries = 0;
    Slot* slots = Slots();
    for (std::size_t i = 0; i < capacity; ++i) slots[i] = Slot{kEmpty, 0, 0};
}

MacIndex::MacIndex(MacIndex&& other) noexcept
    : m_block(std::move(other.m_block)),
      m_capacity(std::exchange(other.m_capacity, 0)),
      m_entries(std::exchange(other.m_entries, 0)),
      m_shift(std::exchange(other.m_shift, 64u)) {}

MacIndex& MacIndex::operator=(MacIndex&& other) noexcept {
    if (this != &other) {
        m_block = std::move(other.m_block);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_entries = std::exchange(other.m_entries, 0);
        m_shift = std::exchange(other.m_shift, 64u);
    }
    return *this;
}

void MacIndex::Grow(std::size_t minimumEntries) {
    // Load factor at most one half keeps probe runs short.
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, minimumEntries * 2));
    if (capacity <= m_capacity) return;
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
    const std::size_t mask = m_capacity - 1;
    Slot* slots = Slots();
    for (std::size_t i = SlotOf(key);; i = (i + 1) & mask) {
        if (slots[i].key == key) return &slots[i];
        if (slots[i].key == kEmpty) return nullptr;
    }
}

void MacIndex::Place(const Slot& slot) {
    const std::size_t mask = m_capacity - 1;
    Slot* slots = Slots();
    for (std::size_t i = SlotOf(slot.key);; i = (i + 1) & mask) {
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
    m_shift = 64;
}

}  // namespace fybootp
