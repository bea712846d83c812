#include "core/log_list.h"

namespace fybootp {

void LogList::Append(const LogEntry& entry) {
    if (m_records.size() >= m_limit) {
        m_records.pop_front();
        ++m_dropped;
    }
    m_records.push_back(entry);
}

void LogList::Clear() {
    // Release the storage too: a cleared log after a flood gives its memory back.
    std::deque<LogEntry>().swap(m_records);
}

}  // namespace fybootp
