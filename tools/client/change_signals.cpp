#include "tools/client/change_signals.h"

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

constexpr unsigned kAllCounts = kLogChangeCnt | kNewMacCnt;

[[noreturn]] void Lost(const std::string& what, int r, const std::string& hint) {
    throw Failure{what, bus::HresultFromBusError(nullptr, r, bus::CallKind::kBound),
                  Stage::kReaching, hint};
}

unsigned CountBit(const char* name) {
    if (std::strcmp(name, "LogChangeCnt") == 0) return kLogChangeCnt;
    if (std::strcmp(name, "NewMacCnt") == 0) return kNewMacCnt;
    return 0;
}

// The counts that a PropertiesChanged ("sa{sv}as") names, as changed or as
// invalidated. A message that does not read as one counts as a move of
// all: a needless wake-up costs one read, a missed one an entry.
unsigned NamedCounts(sd_bus_message* message) {
    const char* name = nullptr;
    if (sd_bus_message_skip(message, "s") < 0 ||
        sd_bus_message_enter_container(message, 'a', "{sv}") < 0) {
        return kAllCounts;
    }
    unsigned named = 0;
    int r = 0;
    while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        if (sd_bus_message_read_basic(message, 's', &name) < 0) return kAllCounts;
        named |= CountBit(name);
        if (sd_bus_message_skip(message, "v") < 0 || sd_bus_message_exit_container(message) < 0) {
            return kAllCounts;
        }
    }
    if (r < 0 || sd_bus_message_exit_container(message) < 0 ||
        sd_bus_message_enter_container(message, 'a', "s") < 0) {
        return kAllCounts;
    }
    while ((r = sd_bus_message_read_basic(message, 's', &name)) > 0) named |= CountBit(name);
    return r < 0 ? kAllCounts : named;
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

ServerChangeSignals::ServerChangeSignals(const std::string& serverName, unsigned counts,
                                         std::string what)
    : m_counts(counts), m_what(std::move(what)) {
    int r = serverName.empty() ? -ENXIO : bus::OpenClientBus(&m_bus);
    if (const Failure* remote = r < 0 ? LastRemoteFailure() : nullptr) throw *remote;
    if (r < 0) {
        Lost(m_what, r, std::string("cannot listen for the server's changes: ") + std::strerror(-r));
    }
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
        Lost(m_what, r,
             std::string("cannot listen for the server's changes: ") + std::strerror(-r));
    }
}

ServerChangeSignals::~ServerChangeSignals() {
    sd_bus_slot_unref(m_owner);
    sd_bus_slot_unref(m_changes);
    sd_bus_flush_close_unref(m_bus);
}

int ServerChangeSignals::OnPropertiesChanged(sd_bus_message* message, void* userdata,
                                             sd_bus_error*) {
    auto& self = *static_cast<ServerChangeSignals*>(userdata);
    self.m_moved |= NamedCounts(message) & self.m_counts;
    return 0;
}

int ServerChangeSignals::OnOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<ServerChangeSignals*>(userdata);
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

unsigned ServerChangeSignals::Wait(int stopFd) {
    for (;;) {
        DispatchQueued();
        if (m_gone) throw Failure{m_what, RPC_E_DISCONNECTED, Stage::kReaching, {}};
        if (m_moved != 0) {
            const unsigned moved = m_moved;
            m_moved = 0;
            return moved;
        }
        bool stopped = false;
        PollOnce(stopFd, &stopped);
        if (stopped) return 0;
    }
}

void ServerChangeSignals::DispatchQueued() {
    int r = 0;
    while ((r = sd_bus_process(m_bus, nullptr)) > 0) {
    }
    if (r < 0) Lost(m_what, r, "the connection to the bus was lost");
}

// sd_bus_wait's own wait, with the stop pipe beside the bus: a SIGINT that
// arrives just before the wait leaves a byte there and still ends it.
void ServerChangeSignals::PollOnce(int stopFd, bool* stopped) {
    const int fd = sd_bus_get_fd(m_bus);
    const int events = sd_bus_get_events(m_bus);
    if (fd < 0 || events < 0) {
        Lost(m_what, fd < 0 ? fd : events, "the connection to the bus was lost");
    }
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, static_cast<short>(events), 0}};
    if (poll(fds, 2, PollTimeout(m_bus)) < 0 && errno != EINTR) {
        Lost(m_what, -errno, "the connection to the bus was lost");
    }
    *stopped = fds[0].revents != 0;
}

}  // namespace fybootp::tools
