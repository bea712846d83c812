#pragma once
// The run thread's message loop: an sd-event loop that the bus connection is
// attached to, so that calls are served one at a time on this thread. What
// Windows does by posting WM_QUIT to the run thread is a write to an eventfd
// that the loop watches; it is safe from any thread and from a signal
// handler.

#include <systemd/sd-event.h>

#include <atomic>
#include <chrono>
#include <functional>

namespace fybootp::bus {

class RunLoop {
public:
    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // False when the loop could not be made (no memory, no file descriptors).
    bool Ok() const { return m_event != nullptr && m_quitFd >= 0; }
    sd_event* Event() const { return m_event; }

    // Serves events until PostQuit; a quit posted before is seen at once.
    // Each call waits for a quit posted after the previous one returned.
    void RunUntilQuit();
    // Async-signal-safe.
    void PostQuit() noexcept;

    // Runs action once on the loop's thread after the delay.
    bool AddTimer(std::chrono::milliseconds delay, std::function<void()> action);

private:
    static int OnQuit(sd_event_source* source, int fd, unsigned revents, void* userdata);
    static int OnTimer(sd_event_source* source, std::uint64_t usec, void* userdata);

    sd_event* m_event = nullptr;
    sd_event_source* m_quitSource = nullptr;
    int m_quitFd = -1;
    bool m_quit = false;
};

}  // namespace fybootp::bus
