#pragma once
// The wake-ups of a client that shows what the server is doing (`log
// --follow`, the web page's event stream): the server's PropertiesChanged
// signals for LogChangeCnt and NewMacCnt, on a bus connection of the
// client's own. While nothing changes the client sleeps in poll() and the
// server does nothing for it. The server sends the signals while a client
// holds a reference, at most 10 a second, with the last value of a burst.

#include <systemd/sd-bus.h>

#include <string>

namespace fybootp::tools {

// The counts a client listens to, as bits.
enum ChangeCount : unsigned { kLogChangeCnt = 1u, kNewMacCnt = 2u };

class ServerChangeSignals {
public:
    // Listens to the server of unique bus name `serverName` for the
    // `counts` (ChangeCount bits), and to that name leaving the bus. The
    // match rules are in place on return, so a change after it is never
    // missed. Failures are thrown saying `what` was asked.
    ServerChangeSignals(const std::string& serverName, unsigned counts, std::string what);
    ~ServerChangeSignals();
    ServerChangeSignals(const ServerChangeSignals&) = delete;
    ServerChangeSignals& operator=(const ServerChangeSignals&) = delete;

    // Blocks until a signal says that some of the counts moved, and returns
    // their bits, or until `stopFd` is readable, and returns 0. Signals
    // that queued up meanwhile make one wake-up. Throws a Failure
    // (RPC_E_DISCONNECTED) when the server or the bus goes away.
    unsigned Wait(int stopFd);

private:
    static int OnPropertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error*);
    static int OnOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*);
    void DispatchQueued();
    void PollOnce(int stopFd, bool* stopped);

    sd_bus* m_bus = nullptr;
    sd_bus_slot* m_changes = nullptr;
    sd_bus_slot* m_owner = nullptr;
    unsigned m_counts = 0;
    std::string m_what;
    unsigned m_moved = 0;
    bool m_gone = false;
};

}  // namespace fybootp::tools
