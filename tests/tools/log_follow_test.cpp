// The arithmetic of `log --follow` against a fake server log that moves
// LogChangeCnt as the real one does: +1 per entry (a full log drops its
// oldest), +1 per clearing. Every entry carries a serial number as its
// message, so the transcript shows each printed entry and each gap line.

#include "tools/fybootpctl/log_follow.h"

#include <gtest/gtest.h>

#include <climits>
#include <deque>
#include <sstream>

namespace fybootp::tools {
namespace {

class FakeServerLog : public LogSource {
public:
    FakeServerLog(std::size_t limit, std::uint32_t count) : m_limit(limit), m_count(count) {}

    void Append(long entries) {
        for (long i = 0; i < entries; ++i) {
            if (m_rows.size() >= m_limit) m_rows.pop_front();
            m_rows.push_back(
                LogRow{"2026-12-07 10:00:00", "024B77000001", std::to_string(++m_serial)});
            ++m_count;
        }
    }
    void Clear() {
        m_rows.clear();
        ++m_count;
    }
    // "a3 c a2": three entries, a clearing, two entries.
    void Apply(const std::string& changes) {
        std::istringstream words(changes);
        for (std::string word; words >> word;) {
            if (word == "c") Clear();
            if (word[0] == 'a') Append(std::stol(word.substr(1)));
        }
    }

    std::int32_t ChangeCount() override { return static_cast<std::int32_t>(m_count); }
    // The server takes its copy somewhere between the follower's two reads
    // of the count; entries may arrive on either side of it.
    std::vector<LogRow> LogRows() override {
        ++fetches;
        Append(movesBeforeCopy);
        std::vector<LogRow> copy(m_rows.begin(), m_rows.end());
        Append(movesAfterCopy);
        return copy;
    }

    int movesBeforeCopy = 0;
    int movesAfterCopy = 0;
    int fetches = 0;

private:
    std::size_t m_limit;
    std::uint32_t m_count;
    long m_serial = 0;
    std::deque<LogRow> m_rows;
};

// "1..3 gap2 6..7": runs of consecutive serials, and the gap lines.
class Transcript : public LogSink {
public:
    void Entry(const LogRow& row) override {
        const long serial = std::stol(row.message);
        if (m_runEnd != 0 && serial == m_runEnd + 1) {
            m_runEnd = serial;
            return;
        }
        FlushRun();
        m_runStart = m_runEnd = serial;
    }
    void Gap(std::uint32_t missing) override {
        FlushRun();
        m_words.push_back("gap" + std::to_string(missing));
    }
    std::string Text() {
        FlushRun();
        std::string text;
        for (const std::string& word : m_words) text += (text.empty() ? "" : " ") + word;
        return text;
    }

private:
    void FlushRun() {
        if (m_runEnd == 0) return;
        m_words.push_back(m_runStart == m_runEnd
                              ? std::to_string(m_runStart)
                              : std::to_string(m_runStart) + ".." + std::to_string(m_runEnd));
        m_runStart = m_runEnd = 0;
    }
    long m_runStart = 0;
    long m_runEnd = 0;
    std::vector<std::string> m_words;
};

struct FollowCase {
    const char* name;
    std::uint32_t startCount;
    long prefill;                         // entries logged before the follow starts
    int movesBeforeCopy, movesAfterCopy;  // during every fetch
    std::vector<std::string> rounds;      // the changes before each later Step
    const char* transcript;
    int fetches;
};

TEST(LogFollower, PrintsEachEntryOnceAndAGapWhereEntriesMayBeMissed) {
    const std::vector<FollowCase> cases = {
        // Quiet steps cost one read of the count and no fetch.
        {"QuietThenBusy", 0, 2, 0, 0, {"", "", "a5", ""}, "1..7", 2},
        // 100,000 kept: three more push out three old ones, and a burst
        // larger than the log loses its first five before any read.
        {"WrapAt100000", 0, 100000, 0, 0, {"a3", "a100005"}, "1..100003 gap5 100009..200008", 3},
        // A burst of 40 coalesced into one step, across the count's wrap
        // from INT32_MAX; then two clearings: the count moved by 7, the log
        // shows 3, one change is a clearing for certain, so at most 3 missed
        // (2 really were).
        {"JumpInTheCount", INT32_MAX - 2, 1, 0, 0, {"a40", "c a2 c a3"}, "1..41 gap3 44..46", 3},
        // The count moves during every fetch: the rows are printed as of
        // the count read before the fetch, the rest is a gap, never a repeat.
        {"MovesInEveryFetch", 0, 2, 1, 1, {"a2", "a2"}, "1..3 gap2 gap2 6..7 gap2 10..11", 3},
        // A clearing alone is no gap; an entry cleared before any read is.
        {"Clear", 0, 3, 0, 0, {"c", "a2", "c a1", "a1 c", "a1"}, "1..6 gap1 8", 6},
    };
    for (const FollowCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServerLog log(LogList::kDefaultLimit, c.startCount);
        log.Append(c.prefill);
        log.movesBeforeCopy = c.movesBeforeCopy;
        log.movesAfterCopy = c.movesAfterCopy;
        Transcript transcript;
        LogFollower follower(log, transcript);
        follower.Step();
        for (const std::string& round : c.rounds) {
            log.Apply(round);
            follower.Step();
        }
        EXPECT_EQ(transcript.Text(), c.transcript);
        EXPECT_EQ(log.fetches, c.fetches);
    }
}

}  // namespace
}  // namespace fybootp::tools
