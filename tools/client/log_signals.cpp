#include "tools/client/log_signals.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "host/bus_shapes.h"
#include "platform/bus/bus_connection.h"
#include "platform/bus/bus_status.h"
#include "tools/client/client_failure.h"
#include "tools/client/remote_bus.h"

namespace fybootp::tools {
namespace {

constexpr char kWhat[] = "following the log";
constexpr char kCountProperty[] = "LogChangeCnt";

[[noreturn]] void Lost(int r, const std::string& hint) {
    throw Failure{kWhat, bus::HresultFromBusError(nullptr, r, bus::CallKind::kBound),
                  Stage::kReaching, hint};
}

// Whether a PropertiesChanged ("sa{sv}as") names LogChangeCnt, as changed
// or as invalidated. A message that does not read as one counts as a move:
// a needless wake-up costs one read of the count, a missed one an entry.
bool NamesChangeCount(sd_bus_message* message) {
    const char* name = nullptr;
    if (sd_bus_message_skip(message, "s") < 0 ||
        sd_bus_message_enter_container(message, 'a', "{sv}") < 0) {
        return true;
    }
    int r = 0;
    while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        if (sd_bus_message_read_basic(message, 's', &name) < 0) return true;
        if (std::strcmp(name, kCountProperty) == 0) return true;
        if (sd_bus_message_skip(message, "v") < 0 || sd_bus_message_exit_container(message) < 0) {
            return true;
        }
    }
    if (r < 0 || sd_bus_message_exit_container(message) < 0 ||
        sd_bus_message_enter_container(message, 'a', "s") < 0) {
        return true;
    }
    while ((r = sd_bus_message_read_basic(message, 's', &name)) > 0) {
        if (std::strcmp(name, kCountProperty) == 0) return true;
    }
    return r < 0;
}

// sd_bus_get_timeout's absolute time as poll's milliseconds; -1 for none.
int PollTimeout(sd_bus* bus) {
    std::uint64_t until = UINT64_MAX;
    if (sd_bus_get_timeout(bus, &until) < 0 || until == UINT64_MAX) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    if (until <= nowUsec) return 0;
    const std::uint64_t ms = (until - nowUsec + 999u) / 1000u;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

LogChangeSignals::LogChangeSignals(const std::string& serverName) {
    int r = serverName.empty() ? -ENXIO : bus::OpenClientBus(&m_bus);
    if (const Failure* remote = r < 0 ? LastRemoteFailure() : nullptr) throw *remote;
    if (r < 0) Lost(r, std::string("cannot listen for the server's changes: ") + std::strerror(-r));
    // Only the server that the proxy calls is listened to: the sender is its
    // unique name, which the bus daemon fills in and nobody else can own.
    const std::string changes = "type='signal',sender='" + serverName + "',path='" +
                                host::kServerObjectPath +
                                "',interface='org.freedesktop.DBus.Properties',"
                                "member='PropertiesChanged',arg0='" +
                                host::kServerInterface + "'";
    const std::string owner =
        "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
        "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
        serverName + "'";
    // sd_bus_add_match waits for the daemon to confirm each rule.
    if ((r = sd_bus_add_match(m_bus, &m_changes, changes.c_str(), OnPropertiesChanged, this)) < 0 ||
        (r = sd_bus_add_match(m_bus, &m_owner, owner.c_str(), OnOwnerChanged, this)) < 0) {
        sd_bus_slot_unref(m_changes);
        sd_bus_flush_close_unref(m_bus);
        Lost(r, std::string("cannot listen for the server's changes: ") + std::strerror(-r));
    }
}

LogChangeSignals::~LogChangeSignals() {
    sd_bus_slot_unref(m_owner);
    sd_bus_slot_unref(m_changes);
    sd_bus_flush_close_unref(m_bus);
}

int LogChangeSignals::OnPropertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<LogChangeSignals*>(userdata);
    if (NamesChangeCount(message)) self.m_moved = true;
    return 0;
}

int LogChangeSignals::OnOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<LogChangeSignals*>(userdata);
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    // A unique name is never taken over: any change of its owner is its end.
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0 ||
        newOwner[0] == '\0') {
        self.m_gone = true;
    }
    return 0;
}

LogChangeSignals::Woken LogChangeSignals::Wait(int stopFd) {
    for (;;) {
        DispatchQueued();
        if (m_gone) throw Failure{kWhat, RPC_E_DISCONNECTED, Stage::kReaching, {}};
        if (m_moved) {
            m_moved = false;
            return Woken::kCountMoved;
        }
        bool stopped = false;
        PollOnce(stopFd, &stopped);
        if (stopped) return Woken::kStopped;
    }
}

void LogChangeSignals::DispatchQueued() {
    int r = 0;
    while ((r = sd_bus_process(m_bus, nullptr)) > 0) {
    }
    if (r < 0) Lost(r, "the connection to the bus was lost");
}

// sd_bus_wait's own wait, with the stop pipe beside the bus: a SIGINT that
// arrives just before the wait leaves a byte there and still ends it.
void LogChangeSignals::PollOnce(int stopFd, bool* stopped) {
    const int fd = sd_bus_get_fd(m_bus);
    const int events = sd_bus_get_events(m_bus);
    if (fd < 0 || events < 0) Lost(fd < 0 ? fd : events, "the connection to the bus was lost");
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, static_cast<short>(events), 0}};
    if (poll(fds, 2, PollTimeout(m_bus)) < 0 && errno != EINTR) {
        Lost(-errno, "the connection to the bus was lost");
    }
    *stopped = fds[0].revents != 0;
}

}  // namespace fybootp::tools
