#include "core/mac_index.h"

#include <bit>

namespace fybootp {

std::size_t MacIndex::SlotOf(std::uint64_t key) const {
    // Fibonacci hashing: the multiplier spreads the low-entropy vendor
    // prefix and serial bits of hardware addresses over the top bits.
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> m_shift);
}

void MacIndex::Grow(std::size_t minimumEntries) {
    // Load factor at most one half keeps probe runs short.
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, minimumEntries * 2));
    if (capacity <= m_slots.size()) return;
    std::vector<Slot> old = std::move(m_slots);
    m_slots.assign(capacity, Slot{kEmpty, 0});
    m_shift = 64u - static_cast<unsigned>(std::countr_zero(capacity));
    m_entries = 0;
    for (const Slot& s : old) {
        if (s.key != kEmpty) Place(s.key, s.position);
    }
}

void MacIndex::Place(std::uint64_t key, std::uint32_t position) {
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = SlotOf(key);; i = (i + 1) & mask) {
        Slot& s = m_slots[i];
        if (s.key == key) return;
        if (s.key == kEmpty) {
            s = Slot{key, position};
            ++m_entries;
            return;
        }
    }
}

void MacIndex::Rebuild(const std::vector<BootpNode>& rows) {
    m_slots.clear();
    m_entries = 0;
    Grow(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Place(MacKey(rows[i].macAddr), static_cast<std::uint32_t>(i));
    }
}

void MacIndex::InsertIfAbsent(const MacAddress& mac, std::uint32_t position) {
    Grow(m_entries + 1);
    Place(MacKey(mac), position);
}

std::optional<std::uint32_t> MacIndex::Find(const MacAddress& mac) const {
    if (m_slots.empty()) return std::nullopt;
    const std::uint64_t key = MacKey(mac);
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = SlotOf(key);; i = (i + 1) & mask) {
        const Slot& s = m_slots[i];
        if (s.key == key) return s.position;
        if (s.key == kEmpty) return std::nullopt;
    }
}

void MacIndex::Clear() {
    m_slots.clear();
    m_entries = 0;
    m_shift = 64;
}

}  // namespace fybootp
