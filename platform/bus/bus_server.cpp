#include "platform/bus/bus_server.h"

#include <algorithm>
#include <cerrno>
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

}  // namespace

BusServer::BusServer(sd_bus* bus, std::vector<BusClass> classes)
    : m_bus(bus), m_classes(std::move(classes)) {}

int BusServer::Open(RunLoop& loop, std::vector<BusClass> classes,
                    std::unique_ptr<BusServer>* server) {
    sd_bus* bus = nullptr;
    int r = OpenBus(&bus);
    if (r < 0) return r;
    // A server whose bus has gone can never be reached, stopped or counted
    // down again: the loop ends instead of serving nobody for ever.
    if ((r = sd_bus_set_exit_on_disconnect(bus, 1)) < 0 ||
        (r = sd_bus_attach_event(bus, loop.Event(), SD_EVENT_PRIORITY_NORMAL)) < 0) {
        sd_bus_unref(bus);
        return r;
    }
    server->reset(new BusServer(bus, std::move(classes)));
    t_server = server->get();
    r = sd_event_add_time_relative(loop.Event(), &(*server)->m_signalTimer, CLOCK_MONOTONIC,
                                   kSignalPeriodUsec, kSignalAccuracyUsec,
                                   &BusServer::OnSignalTimer, server->get());
    return r < 0 ? r : 0;
}

BusServer::~BusServer() {
    sd_event_source_disable_unref(m_signalTimer);
    for (auto& exported : m_exports) {
        if (exported->factory != nullptr) RevokeClassObject(exported->cookie);
        DropPeers(*exported, false);
        for (sd_bus_slot* slot : exported->slots) sd_bus_slot_unref(slot);
    }
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
    if (exported.nameOwned) {
        sd_bus_release_name(m_bus, exported.shape.busName.c_str());
        exported.nameOwned = false;
    }
    sd_bus_slot_unref(exported.slots.front());
    exported.slots.front() = nullptr;
    // The class object goes with this reference: it disconnects the server
    // object first (DisconnectObject) and then destroys it.
    for (auto& [name, peer] : exported.peers) {
        for (; peer->locks > 0; --peer->locks) exported.factory->LockServer(false);
    }
    std::exchange(exported.factory, nullptr)->Release();
    return S_OK;
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
    for (auto& [name, peer] : peers) {
        sd_bus_track_unref(peer->track);
        if (releaseReferences) {
            for (IUnknown* reference : peer->references) reference->Release();
        }
    }
}

void BusServer::ReleaseNamesAndDrain() {
    for (auto& exported : m_exports) {
        if (!exported->nameOwned) continue;
        // Synchronous: every call the bus routed to the name before it let
        // the name go is in our queue when the reply arrives.
        sd_bus_release_name(m_bus, exported->shape.busName.c_str());
        exported->nameOwned = false;
    }
    while (sd_bus_process(m_bus, nullptr) > 0) {
    }
    sd_bus_flush(m_bus);
}

void BusServer::RunMessageLoop(RunLoop& loop, const std::function<bool()>& keepServing) {
    for (;;) {
        loop.RunUntilQuit();
        if (sd_bus_is_open(m_bus) <= 0) return;  // the bus went away
        ReleaseNamesAndDrain();
        if (!keepServing()) return;
    }
}

int BusServer::OnSignalTimer(sd_event_source* source, std::uint64_t, void* userdata) try {
    sd_event_source_set_time_relative(source, kSignalPeriodUsec);
    sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
    auto& server = *static_cast<BusServer*>(userdata);
    for (auto& exported : server.m_exports) server.SignalChanges(*exported);
    return 0;
} catch (...) {
    // Nothing may unwind into sd-bus: the call fails, the server goes on.
    return -ENOMEM;
}

// Reads the signalled properties through a reference that a peer holds, so
// that the reads never move the count to 0; without such a peer nobody
// could be listening for long, and nothing is read.
void BusServer::SignalChanges(Exported& exported) {
    if (exported.disconnected || exported.factory == nullptr) return;
    IUnknown* identity = nullptr;
    for (const auto& [name, peer] : exported.peers) {
        if (!peer->references.empty()) identity = peer->references.front();
    }
    if (identity == nullptr) return;
    for (auto& slot : exported.interfaces) {
        const BusInterface& itf = exported.shape.interfaces[slot->index];
        std::vector<std::string> changed;
        for (const BusMember& member : slot->members) {
            if (!member.signalled) continue;
            ComPtr<IUnknown> target;
            if (Failed(QueryInterfaceAs(identity, itf.iid, target.Receive()))) continue;
            std::vector<Variant> none;
            Variant value;
            if (Failed(Guarded(
                    [&] { return itf.invoke(target.Get(), member.getIndex, none, &value); }))) {
                continue;
            }
            auto [at, inserted] = slot->lastSignalled.try_emplace(member.name, value);
            if (inserted) continue;  // the first reading is the baseline
            if (!(at->second == value)) {
                at->second = std::move(value);
                changed.push_back(member.name);
            }
        }
        if (changed.empty()) continue;
        std::vector<char*> names;
        for (std::string& name : changed) names.push_back(name.data());
        names.push_back(nullptr);
        sd_bus_emit_properties_changed_strv(m_bus, exported.shape.objectPath.c_str(),
                                            itf.name.c_str(), names.data());
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