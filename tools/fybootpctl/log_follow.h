#pragma once
// What `log --follow` prints each time LogChangeCnt may have moved: the
// entries that are new since the last time, each once, and a gap line
// where entries may have gone by unseen. The bus is not here: the log is
// read through a LogSource and printed through a LogSink, so the
// arithmetic is tested without a server.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/log_list.h"
#include "tools/client/interface_texts.h"

namespace fybootp::tools {

// The server's log as the interface shows it: LogChangeCnt and
// LogEntries, read by separate calls. Failures are thrown.
class LogSource {
public:
    virtual ~LogSource() = default;
    virtual std::int32_t ChangeCount() = 0;
    virtual std::vector<LogRow> LogRows() = 0;
};

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Entry(const LogRow& row) = 0;
    // At most `missing` entries were logged that will never be printed.
    virtual void Gap(std::uint32_t missing) = 0;
};

class LogFollower {
public:
    // `limit` is how many entries the server's log keeps.
    LogFollower(LogSource& source, LogSink& sink, std::size_t limit = LogList::kDefaultLimit)
        : m_source(source), m_sink(sink), m_limit(limit) {}

    // The first step prints the whole log; each later one what is new since.
    // Reads the log only when the count has moved: one count read, else one
    // fetch between two count reads, never more.
    void Step();

private:
    void PrintNew(std::uint32_t movedBefore, std::uint32_t movedAfter,
                  const std::vector<LogRow>& rows);

    LogSource& m_source;
    LogSink& m_sink;
    std::size_t m_limit;
    // The count up to which every change has been printed or reported.
    std::optional<std::uint32_t> m_seen;
};

}  // namespace fybootp::tools
