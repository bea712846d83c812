#include "tools/fybootpctl/log_follow.h"

#include <algorithm>

namespace fybootp::tools {

// How LogChangeCnt moves: each appended entry adds 1, also when a full log
// drops its oldest entry to make room for it; each clearing adds 1 and
// empties the log. Nothing else moves it, and it counts modulo 2^32, so
// distances are taken in unsigned arithmetic. Between a count s and a
// count c whose log holds the rows R:
//  - The new entries are the last min(c - s, |R|) rows. Without a clearing
//    they are the c - s newest (fewer when some were dropped already); with
//    one, R holds only entries appended after it, and |R| < c - s.
//  - Without a clearing |R| = min(|R at s| + (c - s), limit), which is at
//    least min(c - s, limit). So |R| < min(c - s, limit) proves a clearing,
//    and one of the c - s changes was no entry.
// The count and the log come from separate calls: the count is read before
// (b) and after (a) the fetch, and the rows belong to some c between them.
// Printing the last min(b - s, |R|) rows never repeats one, as b - s <=
// c - s. The entries of (s, a] left unprinted number at most (a - s) -
// printed, one fewer when a clearing is proven: that is the gap line, and
// the follow goes on from a. When b == a the gap is exactly the entries
// dropped or cleared before any read could see them.
void LogFollower::Step() {
    const auto before = static_cast<std::uint32_t>(m_source.ChangeCount());
    if (m_seen && before == *m_seen) return;
    const std::vector<LogRow> rows = m_source.LogRows();
    const auto after = static_cast<std::uint32_t>(m_source.ChangeCount());
    if (!m_seen) {
        // The whole log is shown at the start; what came after the rows
        // were taken and before the count was read again is unknown.
        for (const LogRow& row : rows) m_sink.Entry(row);
        if (after != before) m_sink.Gap(after - before);
    } else {
        PrintNew(before - *m_seen, after - *m_seen, rows);
    }
    m_seen = after;
}

void LogFollower::PrintNew(std::uint32_t movedBefore, std::uint32_t movedAfter,
                           const std::vector<LogRow>& rows) {
    const std::size_t fresh = std::min<std::size_t>(movedBefore, rows.size());
    const bool cleared = rows.size() < std::min<std::size_t>(movedBefore, m_limit);
    const std::uint32_t missing =
        movedAfter - static_cast<std::uint32_t>(fresh) - (cleared ? 1u : 0u);
    // Dropped and cleared entries are older than the rows, so the gap line
    // comes first.
    if (missing != 0) m_sink.Gap(missing);
    for (std::size_t i = rows.size() - fresh; i < rows.size(); ++i) m_sink.Entry(rows[i]);
}

}  // namespace fybootp::tools
