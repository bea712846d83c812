#include "core/log_list.h"

namespace fybootp {

void LogList::Append(const LogRecord& record) {
    if (m_records.size() >= m_limit) {
        m_records.pop_front();
        ++m_dropped;
    }
    m_records.push_back(record);
}

void LogList::Clear() {
    // Release the storage too: a cleared log after a flood gives its memory back.
    std::deque<LogRecord>().swap(m_records);
}

}  // namespace fybootp
