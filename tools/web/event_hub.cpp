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
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_counts[static_cast<std::size_t>(change)];
    }
    m_moved.notify_all();
}

EventHub::Counts EventHub::Current() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_counts;
}

std::vector<Change> EventHub::WaitForChanges(Counts* seen, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_moved.wait_for(hold, limit, [&] { return m_closed || m_counts != *seen; });
    std::vector<Change> moved;
    for (std::size_t i = 0; i < kChangeKinds; ++i) {
        if (m_counts[i] != (*seen)[i]) moved.push_back(static_cast<Change>(i));
    }
    *seen = m_counts;
    return moved;
}

void EventHub::Close() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_closed = true;
    }
    m_moved.notify_all();
}

bool EventHub::Closed() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_closed;
}

}  // namespace fybootp::web
