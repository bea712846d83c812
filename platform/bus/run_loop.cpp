#include "platform/bus/run_loop.h"

#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

namespace fybootp::bus {

RunLoop::RunLoop() {
    if (sd_event_new(&m_event) < 0) {
        m_event = nullptr;
        return;
    }
    m_quitFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_quitFd < 0) return;
    // Before any other source: once the count has fallen to 0 and the quit
    // is posted, no further call is dispatched that could take a reference.
    if (sd_event_add_io(m_event, &m_quitSource, m_quitFd, EPOLLIN, &RunLoop::OnQuit, this) < 0 ||
        sd_event_source_set_priority(m_quitSource, SD_EVENT_PRIORITY_IMPORTANT) < 0) {
        m_quitSource = sd_event_source_disable_unref(m_quitSource);
        ::close(m_quitFd);
        m_quitFd = -1;
    }
}

RunLoop::~RunLoop() {
    sd_event_source_disable_unref(m_quitSource);
    if (m_quitFd >= 0) ::close(m_quitFd);
    sd_event_unref(m_event);
}

void RunLoop::RunUntilQuit() {
    m_quit = false;
    while (!m_quit) {
        // Fails once the loop has finished (a lost bus asks it to exit).
        if (sd_event_run(m_event, UINT64_MAX) < 0) break;
        if (sd_event_get_state(m_event) == SD_EVENT_FINISHED) break;
    }
}

void RunLoop::PostQuit() noexcept {
    const std::uint64_t one = 1;
    // A full counter (2^64 - 2 posts) still wakes the loop.
    [[maybe_unused]] const ssize_t written = ::write(m_quitFd, &one, sizeof(one));
}

int RunLoop::OnQuit(sd_event_source*, int fd, unsigned, void* userdata) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(fd, &count, sizeof(count));
    static_cast<RunLoop*>(userdata)->m_quit = true;
    return 0;
}

bool RunLoop::AddTimer(std::chrono::milliseconds delay, std::function<void()> action) {
    std::uint64_t now = 0;
    if (sd_event_now(m_event, CLOCK_MONOTONIC, &now) < 0) return false;
    auto owned = std::make_unique<std::function<void()>>(std::move(action));
    sd_event_source* source = nullptr;
    const auto usec = static_cast<std::uint64_t>(delay.count()) * 1000u;
    if (sd_event_add_time(m_event, &source, CLOCK_MONOTONIC, now + usec, 0, &RunLoop::OnTimer,
                          owned.get()) < 0) {
        return false;
    }
    // The source belongs to the loop and goes with it; the action goes with
    // the source.
    if (sd_event_source_set_destroy_callback(source, [](void* userdata) {
            delete static_cast<std::function<void()>*>(userdata);
        }) < 0) {
        sd_event_source_disable_unref(source);
        return false;
    }
    owned.release();
    if (sd_event_source_set_floating(source, 1) < 0) {
        sd_event_source_disable_unref(source);  // and the action with it
        return false;
    }
    sd_event_source_unref(source);
    return true;
}

int RunLoop::OnTimer(sd_event_source*, std::uint64_t, void* userdata) {
    (*static_cast<std::function<void()>*>(userdata))();
    return 0;
}

}  // namespace fybootp::bus
