#include "tools/web/event_hub.h"

namespace fybootp::web {

const char* ChangeName(Change change) {
    switch (change) {
        case Change::kLog:
            return "log";
        case Change::kNew:
            return "new";
        case Change::kNodes:
            return "nodes";
        case Change::kServer:
            return "server";
    }
    return "log";
}

void EventHub::Publish(Change change) {
    {
        MutexLock hold(m_lock);
        ++m_counts[static_cast<std::size_t>(change)];
    }
    m_moved.notify_all();
}

EventHub::Counts EventHub::Current() {
    MutexLock hold(m_lock);
    return m_counts;
}

std::vector<Change> EventHub::WaitForChanges(Counts* seen, std::chrono::milliseconds limit) {
    MutexLock hold(m_lock);
    // The analysis cannot follow the wait, which gives the lock up and
    // takes it again; the predicate runs with it held.
    m_moved.wait_for(m_lock, limit, [&]() FYB_NO_THREAD_SAFETY_ANALYSIS {
        return m_closed || m_counts != *seen;
    });
    std::vector<Change> moved;
    for (std::size_t i = 0; i < kChangeKinds; ++i) {
        if (m_counts[i] != (*seen)[i]) moved.push_back(static_cast<Change>(i));
    }
    *seen = m_counts;
    return moved;
}

void EventHub::Close() {
    {
        MutexLock hold(m_lock);
        m_closed = true;
    }
    m_moved.notify_all();
}

bool EventHub::Closed() {
    MutexLock hold(m_lock);
    return m_closed;
}

}  // namespace fybootp::web
