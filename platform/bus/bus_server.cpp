#include "platform/bus/bus_server.h"

#include <malloc.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "platform/bus/bus_connection.h"
#include "platform/com/guarded.h"
#include "platform/bus/bus_status.h"
#include "platform/com/com_ptr.h"

namespace fybootp::bus {
namespace {

thread_local BusServer* t_server = nullptr;

// Changes of signalled properties go out at most this often.
constexpr std::uint64_t kSignalPeriodUsec = 100'000;
constexpr std::uint64_t kSignalAccuracyUsec = 10'000;

// An ending server answers what was queued for at most this long, so that a
// caller that keeps sending to its unique name cannot keep it alive.
constexpr std::chrono::seconds kDrainLimit{1};

// Every connection that leaves the bus, in one rule: the peer's unique name
// is arg0, and its new owner (arg2) is empty.
constexpr char kPeerLeftMatch[] =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg2=''";

// Written is not yet read. A daemon that still has signals for this
// connection when it closes gets a reset on its next write, and drops the
// connection without reading the replies we wrote last: their callers get
// "no reply" although they were answered. The daemon serves a connection's
// messages in order, so once it answers a call sent after them, it has
// passed them on. A dead or swamped daemon ends the wait.
constexpr std::uint64_t kDeliveryLimitUsec = 1'000'000;

int AwaitDaemonRead(sd_bus* bus) {
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.DBus",
                                           "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId");
    if (r >= 0) r = sd_bus_call(bus, call, kDeliveryLimitUsec, nullptr, nullptr);
    sd_bus_message_unref(call);
    return r;
}

std::string Failure(const char* call, int r) { return std::string(call) + ": " + std::strerror(-r); }

// PropertiesChanged with the values that were read, not read again through
// the getters: a get without a caller would be served as create, call,
// release, and move the count.
int EmitChanged(sd_bus* bus, const std::string& path, const std::string& interface,
                const std::vector<std::pair<const BusMember*, Variant>>& changed) {
    sd_bus_message* signal = nullptr;
    int r = sd_bus_message_new_signal(bus, &signal, path.c_str(), "org.freedesktop.DBus.Properties",
                                      "PropertiesChanged");
    if (r < 0) return r;
    r = sd_bus_message_append(signal, "s", interface.c_str());
    if (r >= 0) r = sd_bus_message_open_container(signal, 'a', "{sv}");
    for (const auto& [member, value] : changed) {
        const char type[] = {SignatureOf(member->propertyType), '\0'};
        if (r >= 0) r = sd_bus_message_open_container(signal, 'e', "sv");
        if (r >= 0) r = sd_bus_message_append(signal, "s", member->name.c_str());
        if (r >= 0) r = sd_bus_message_open_container(signal, 'v', type);
        if (r >= 0) r = AppendValue(signal, member->propertyType, value);
        if (r >= 0) r = sd_bus_message_close_container(signal);
        if (r >= 0) r = sd_bus_message_close_container(signal);
    }
    if (r >= 0) r = sd_bus_message_close_container(signal);
    if (r >= 0) r = sd_bus_message_append(signal, "as", 0);
    if (r >= 0) r = sd_bus_send(bus, signal, nullptr);
    sd_bus_message_unref(signal);
    return r;
}

}  // namespace

BusServer::BusServer(sd_bus* bus, std::vector<BusClass> classes)
    : m_bus(bus), m_classes(std::move(classes)) {}

int BusServer::Open(RunLoop& loop, std::vector<BusClass> classes,
                    std::unique_ptr<BusServer>* server, std::string* failedCall) {
    sd_bus* bus = nullptr;
    int r = OpenBus(&bus);
    if (r < 0) {
        *failedCall = "connecting to the bus";
        return r;
    }
    server->reset(new BusServer(bus, std::move(classes)));
    t_server = server->get();
    BusServer& self = **server;
    // A server whose bus has gone can never be reached, stopped or counted
    // down again: the loop ends instead of serving nobody for ever.
    if ((r = sd_bus_set_exit_on_disconnect(bus, 1)) < 0) {
        *failedCall = "sd_bus_set_exit_on_disconnect";
    } else if ((r = sd_bus_attach_event(bus, loop.Event(), SD_EVENT_PRIORITY_NORMAL)) < 0) {
        *failedCall = "sd_bus_attach_event";
    } else if ((r = sd_bus_add_filter(bus, &self.m_messageCount, &BusServer::OnAnyMessage,
                                      &self)) < 0) {
        *failedCall = "sd_bus_add_filter";
    } else if ((r = sd_bus_add_match(bus, &self.m_peerWatch, kPeerLeftMatch,
                                     &BusServer::OnNameOwnerChanged, &self)) < 0) {
        // Synchronous: no peer is taken before the daemon has the rule.
        *failedCall = "sd_bus_add_match NameOwnerChanged";
    } else if ((r = sd_event_add_time_relative(loop.Event(), &self.m_signalTimer, CLOCK_MONOTONIC,
                                               kSignalPeriodUsec, kSignalAccuracyUsec,
                                               &BusServer::OnSignalTimer, &self)) < 0) {
        *failedCall = "sd_event_add_time_relative";
    }
    if (r < 0) server->reset();
    return r < 0 ? r : 0;
}

BusServer::~BusServer() {
    sd_event_source_disable_unref(m_signalTimer);
    for (auto& exported : m_exports) {
        if (exported->factory != nullptr) RevokeClassObject(exported->cookie);
        DropPeers(*exported, false);
        for (sd_bus_slot* slot : exported->slots) sd_bus_slot_unref(slot);
    }
    sd_bus_slot_unref(m_peerWatch);
    sd_bus_slot_unref(m_messageCount);
    sd_bus_flush_close_unref(m_bus);
    if (t_server == this) t_server = nullptr;
}

std::string BusServer::UniqueName() const {
    const char* name = nullptr;
    return sd_bus_get_unique_name(m_bus, &name) >= 0 && name != nullptr ? name : "";
}

HRESULT BusServer::RegisterClassObject(const GUID& clsid, IUnknown* classObject, DWORD* cookie) {
    if (classObject == nullptr || cookie == nullptr) return E_POINTER;
    *cookie = 0;
    const auto shape = std::find_if(m_classes.begin(), m_classes.end(),
                                    [&](const BusClass& c) { return c.clsid == clsid; });
    if (shape == m_classes.end()) return REGDB_E_CLASSNOTREG;
    return Guarded([&] {
        auto exported = std::make_unique<Exported>();
        exported->server = this;
        exported->shape = *shape;
        exported->cookie = ++m_nextCookie;
        HRESULT hr = QueryInterfaceAs(classObject, IID_IClassFactory, &exported->factory);
        if (Failed(hr)) return hr;
        hr = ExportClass(*exported);
        if (Succeeded(hr)) {
            const int r = sd_bus_request_name(m_bus, shape->busName.c_str(), 0);
            if (r < 0) hr = r == -EEXIST ? kNameTaken : HresultFromWin32(static_cast<DWORD>(-r));
        }
        if (Failed(hr)) {
            for (sd_bus_slot* slot : exported->slots) sd_bus_slot_unref(slot);
            exported->factory->Release();
            return hr;
        }
        exported->nameOwned = true;
        *cookie = exported->cookie;
        m_exports.push_back(std::move(exported));
        return S_OK;
    });
}

HRESULT BusServer::ExportClass(Exported& exported) {
    // UNPRIVILEGED: the handlers check the caller themselves (CheckPeer);
    // sd-bus would otherwise refuse everyone but root first.
    static const sd_bus_vtable kClassFactory[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD_WITH_NAMES("CreateInstance", "", SD_BUS_PARAM(), "o", SD_BUS_PARAM(object),
                                 &BusServer::OnCreateInstance, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES("LockServer", "b", SD_BUS_PARAM(lock), "i", SD_BUS_PARAM(status),
                                 &BusServer::OnLockServer, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    const BusClass& shape = exported.shape;
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_add_object_vtable(m_bus, &slot, shape.classPath.c_str(), kClassFactoryInterface,
                                     kClassFactory, &exported);
    if (r < 0) return HresultFromWin32(static_cast<DWORD>(-r));
    exported.slots.push_back(slot);
    const VtableHandlers handlers{&BusServer::OnMethod, &BusServer::OnGet, &BusServer::OnSet};
    for (std::size_t i = 0; i < shape.interfaces.size(); ++i) {
        auto itf = std::make_unique<InterfaceSlot>();
        itf->owner = &exported;
        itf->index = i;
        if (!DescribeMembers(shape.interfaces[i].type, &itf->members,
                             shape.interfaces[i].signalled, shape.interfaces[i].audited)) {
            return E_INVALIDARG;
        }
        itf->vtable = std::make_unique<BusVtable>(shape.interfaces[i].type, itf->members, handlers);
        r = sd_bus_add_object_vtable(m_bus, &slot, shape.objectPath.c_str(),
                                     shape.interfaces[i].name.c_str(), itf->vtable->Get(),
                                     itf.get());
        if (r < 0) return HresultFromWin32(static_cast<DWORD>(-r));
        exported.slots.push_back(slot);
        exported.interfaces.push_back(std::move(itf));
    }
    return S_OK;
}

HRESULT BusServer::RevokeClassObject(DWORD cookie) {
    const auto found = std::find_if(m_exports.begin(), m_exports.end(),
                                    [&](const auto& e) { return e->cookie == cookie; });
    if (found == m_exports.end() || (*found)->factory == nullptr) return E_INVALIDARG;
    Exported& exported = **found;
    HRESULT hr = S_OK;
    exported.stopping = true;
    // A connection that is gone took its names with it.
    if (exported.nameOwned && sd_bus_is_open(m_bus) > 0) {
        const int r = sd_bus_release_name(m_bus, exported.shape.busName.c_str());
        if (r < 0) hr = HresultFromWin32(static_cast<DWORD>(-r));
    }
    exported.nameOwned = false;
    sd_bus_slot_unref(exported.slots.front());
    exported.slots.front() = nullptr;
    // The class object goes with this reference: it disconnects the server
    // object first (DisconnectObject) and then destroys it.
    for (auto& [name, peer] : exported.peers) {
        for (; peer.locks > 0; --peer.locks) exported.factory->LockServer(false);
    }
    std::exchange(exported.factory, nullptr)->Release();
    return hr;
}

HRESULT BusServer::DisconnectObject(IUnknown* object) {
    if (object == nullptr) return E_INVALIDARG;
    for (auto& exported : m_exports) {
        if (exported->identity != object) continue;
        exported->disconnected = true;
        DropPeers(*exported, true);
    }
    return S_OK;
}

void BusServer::DropPeers(Exported& exported, bool releaseReferences) {
    auto peers = std::move(exported.peers);
    exported.peers.clear();
    if (!releaseReferences) return;
    for (auto& [name, peer] : peers) {
        for (IUnknown* reference : peer.references) reference->Release();
    }
}

std::string BusServer::ReleaseNames() {
    std::string failure;
    for (auto& exported : m_exports) {
        exported->stopping = true;
        if (!exported->nameOwned) continue;
        // Synchronous: every call the bus routed to the name before it let
        // the name go is in our queue when the reply arrives.
        const int r = sd_bus_release_name(m_bus, exported->shape.busName.c_str());
        if (r < 0) {
            failure = "cannot give up " + exported->shape.busName + ": " +
                      Failure("sd_bus_release_name", r);
            continue;
        }
        exported->nameOwned = false;
    }
    return failure;
}

void BusServer::Drain() {
    // What was read before the daemon's reply to the release is queued; a
    // caller that goes on sending to the unique name after it is not
    // served, and gets its answer from the bus when the connection closes.
    std::uint64_t queued = 0;
    if (sd_bus_get_n_queued_read(m_bus, &queued) < 0) queued = 0;
    const std::uint64_t last = m_dispatched + queued;
    const auto end = std::chrono::steady_clock::now() + kDrainLimit;
    while (m_dispatched < last && std::chrono::steady_clock::now() < end) {
        if (sd_bus_process(m_bus, nullptr) <= 0) break;
    }
    if (AwaitDaemonRead(m_bus) < 0) sd_bus_flush(m_bus);
}

std::string BusServer::RunMessageLoop(RunLoop& loop) {
    loop.RunUntilQuit();
    if (sd_bus_is_open(m_bus) <= 0) return "the bus connection was lost";
    std::string failure = ReleaseNames();
    if (sd_bus_is_open(m_bus) <= 0) return "the bus connection was lost";
    Drain();
    return failure;
}

int BusServer::OnAnyMessage(sd_bus_message*, void* userdata, sd_bus_error*) {
    ++static_cast<BusServer*>(userdata)->m_dispatched;
    return 0;  // on to the handlers
}

int BusServer::OnSignalTimer(sd_event_source* source, std::uint64_t, void* userdata) try {
    sd_event_source_set_time_relative(source, kSignalPeriodUsec);
    sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
    auto& server = *static_cast<BusServer*>(userdata);
    for (auto& exported : server.m_exports) server.SignalChanges(*exported);
    // glibc keeps freed memory of the thread's heap for reuse; after a text
    // of megabytes (the text, its copy in the message, the parsed or built
    // document) the server would stay at that size until it ends.
    std::uint64_t unsent = 0;
    if (server.m_trimPending && sd_bus_get_n_queued_write(server.m_bus, &unsent) >= 0 &&
        unsent == 0) {
        server.m_trimPending = false;
        malloc_trim(0);
    }
    return 0;
} catch (...) {
    // Nothing may unwind into sd-bus: the call fails, the server goes on.
    return -ENOMEM;
}

void BusServer::NoteObject(Exported& exported, IUnknown* identity) {
    exported.identity = identity;
    if (!exported.signalTargets.empty()) return;
    exported.signalTargets.assign(exported.shape.interfaces.size(), nullptr);
    for (std::size_t i = 0; i < exported.shape.interfaces.size(); ++i) {
        const BusInterface& itf = exported.shape.interfaces[i];
        if (itf.signalled.empty()) continue;
        IUnknown* target = nullptr;
        if (Failed(QueryInterfaceAs(identity, itf.iid, &target))) continue;
        // The caller's reference keeps the count above 0 across this one.
        target->Release();
        exported.signalTargets[i] = target;
    }
    // The values changes are measured from: none is signalled now, so a
    // flood of CreateInstance calls sends nothing beyond the timer's rate.
    for (auto& slot : exported.interfaces) slot->lastSignalled = ReadSignalled(exported, *slot);
}

std::map<std::string, Variant> BusServer::ReadSignalled(Exported& exported, InterfaceSlot& slot) {
    std::map<std::string, Variant> values;
    IUnknown* target = exported.signalTargets[slot.index];
    if (target == nullptr) return values;
    const BusInterface& itf = exported.shape.interfaces[slot.index];
    for (const BusMember& member : slot.members) {
        if (!member.signalled) continue;
        std::vector<Variant> none;
        Variant value;
        if (Succeeded(Guarded([&] { return itf.invoke(target, member.getIndex, none, &value); }))) {
            values.emplace(member.name, std::move(value));
        }
    }
    return values;
}

// Whoever holds the object, or nobody: watchers need hold nothing. Until
// someone first takes a reference nothing can have changed, and nothing is
// read.
void BusServer::SignalChanges(Exported& exported) {
    if (exported.disconnected || exported.factory == nullptr || exported.signalTargets.empty()) {
        return;
    }
    for (auto& slot : exported.interfaces) {
        std::map<std::string, Variant> now = ReadSignalled(exported, *slot);
        std::vector<std::pair<const BusMember*, Variant>> changed;
        for (const BusMember& member : slot->members) {
            const auto value = now.find(member.name);
            if (value == now.end()) continue;
            const auto last = slot->lastSignalled.find(member.name);
            if (last == slot->lastSignalled.end() || !(last->second == value->second)) {
                changed.emplace_back(&member, value->second);
            }
        }
        if (changed.empty()) continue;
        const BusInterface& itf = exported.shape.interfaces[slot->index];
        // A signal that was not sent is tried again at the next tick.
        if (EmitChanged(m_bus, exported.shape.objectPath, itf.name, changed) < 0) continue;
        for (auto& [member, value] : changed) slot->lastSignalled[member->name] = std::move(value);
    }
}

HRESULT CoRegisterClassObject(const GUID& clsid, IUnknown* classObject, DWORD classContext, DWORD,
                              DWORD* cookie) {
    if (t_server == nullptr) return CO_E_NOTINITIALIZED;
    if ((classContext & CLSCTX_LOCAL_SERVER) == 0) return E_INVALIDARG;
    return t_server->RegisterClassObject(clsid, classObject, cookie);
}

HRESULT CoRevokeClassObject(DWORD cookie) {
    return t_server == nullptr ? CO_E_NOTINITIALIZED : t_server->RevokeClassObject(cookie);
}

HRESULT CoDisconnectObject(IUnknown* object, DWORD) {
    return t_server == nullptr ? CO_E_NOTINITIALIZED : t_server->DisconnectObject(object);
}

}  // namespace fybootp::bus