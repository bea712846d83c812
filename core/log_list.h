#pragma once
// The in-memory log, oldest entry first, in compact entries whose text is
// made when the log is read (log_text.h). Bounded: appending to a full log
// drops the oldest entry, so a flood of requests cannot exhaust memory.

#include <cstddef>
#include <deque>

#include "core/bootp_types.h"

namespace fybootp {

class LogList {
public:
    static constexpr std::size_t kDefaultLimit = 100000;

    explicit LogList(std::size_t limit = kDefaultLimit) : m_limit(limit == 0 ? 1 : limit) {}

    const std::deque<LogEntry>& Records() const { return m_records; }
    std::size_t Size() const { return m_records.size(); }
    std::size_t Limit() const { return m_limit; }
    // How many entries were dropped to stay within the limit.
    std::size_t Dropped() const { return m_dropped; }

    void Append(const LogEntry& entry);
    void Clear();

private:
    std::size_t m_limit;
    std::size_t m_dropped = 0;
    std::deque<LogEntry> m_records;
};

}  // namespace fybootp
