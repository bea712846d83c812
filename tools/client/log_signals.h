#pragma once
// The wake-ups of `log --follow`: the server's PropertiesChanged signals
// for LogChangeCnt, on a bus connection of the follower's own. While the
// log is quiet the follower sleeps in poll() and the server does nothing
// for it. The server sends the signals while a client holds a reference,
// at most 10 a second, with the last value of a burst.

#include <systemd/sd-bus.h>

#include <string>

namespace fybootp::tools {

class LogChangeSignals {
public:
    // Listens to the server of unique bus name `serverName`, and to that
    // name leaving the bus. The match rules are in place on return, so a
    // change after it is never missed. Throws a Failure.
    explicit LogChangeSignals(const std::string& serverName);
    ~LogChangeSignals();
    LogChangeSignals(const LogChangeSignals&) = delete;
    LogChangeSignals& operator=(const LogChangeSignals&) = delete;

    enum class Woken { kCountMoved, kStopped };
    // Blocks until a signal says that LogChangeCnt moved, or until `stopFd`
    // is readable. Signals that queued up meanwhile make one wake-up. Throws
    // a Failure (RPC_E_DISCONNECTED) when the server or the bus goes away.
    Woken Wait(int stopFd);

private:
    static int OnPropertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error*);
    static int OnOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*);
    void DispatchQueued();
    void PollOnce(int stopFd, bool* stopped);

    sd_bus* m_bus = nullptr;
    sd_bus_slot* m_changes = nullptr;
    sd_bus_slot* m_owner = nullptr;
    bool m_moved = false;
    bool m_gone = false;
};

}  // namespace fybootp::tools
