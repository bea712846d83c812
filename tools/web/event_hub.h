#pragma once
// The kinds of change that the event stream tells the page about. Each
// open stream waits here; a burst of changes of one kind wakes it once,
// because the page refetches what it shows rather than applying deltas.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sync/annotated_mutex.h"

namespace fybootp::web {

enum class Change { kLog, kNew, kNodes, kServer };
inline constexpr std::size_t kChangeKinds = 4;
// "log", "new", "nodes", "server": the event names of the stream.
const char* ChangeName(Change change);

class EventHub {
public:
    using Counts = std::array<std::uint64_t, kChangeKinds>;

    void Publish(Change change);
    // What a new stream starts from: it hears of changes after this.
    Counts Current();
    // Waits until some count differs from *seen, at most `limit`, or until
    // Close; returns the kinds that moved and updates *seen.
    std::vector<Change> WaitForChanges(Counts* seen, std::chrono::milliseconds limit);
    // Wakes every waiter for good, when the program ends.
    void Close();
    bool Closed();

private:
    Mutex m_lock;
    std::condition_variable_any m_moved;
    Counts m_counts FYB_GUARDED_BY(m_lock) = {};
    bool m_closed FYB_GUARDED_BY(m_lock) = false;
};

}  // namespace fybootp::web
