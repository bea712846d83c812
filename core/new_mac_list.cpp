#include "core/new_mac_list.h"

#include <algorithm>

#include "core/node_table.h"

namespace fybootp {

bool NewMacList::Contains(const MacAddress& mac) const { return m_keys.contains(MacKey(mac)); }

NewMacList::AppendResult NewMacList::AppendIfNew(const MacAddress& mac) {
    const std::uint64_t key = MacKey(mac);
    if (m_keys.contains(key)) return AppendResult::kAlreadyListed;
    if (m_records.size() >= m_limit) return AppendResult::kFull;
    m_records.push_back(NewMacRecord{0, mac});
    m_keys.insert(key);
    return AppendResult::kAppended;
}

bool NewMacList::RemoveFirst(const MacAddress& mac) {
    if (!m_keys.contains(MacKey(mac))) return false;
    const auto it = std::find_if(m_records.begin(), m_records.end(),
                                 [&](const NewMacRecord& r) { return r.macAddr == mac; });
    m_records.erase(it);
    // Records are distinct: this list only ever appends an address it lacks.
    m_keys.erase(MacKey(mac));
    return true;
}

std::size_t NewMacList::RemoveListedIn(const NodeTable& table) {
    const std::size_t before = m_records.size();
    std::erase_if(m_records, [&](const NewMacRecord& r) {
        if (table.FindFirst(r.macAddr) == nullptr) return false;
        m_keys.erase(MacKey(r.macAddr));
        return true;
    });
    return before - m_records.size();
}

void NewMacList::Clear() {
    m_records.clear();
    m_keys.clear();
}

}  // namespace fybootp
