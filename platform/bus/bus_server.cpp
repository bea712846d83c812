#include "platform/bus/bus_server.h"

#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "platform/bus/bus_connection.h"
#include "platform/bus/bus_status.h"
#include "platform/com/com_ptr.h"

namespace fybootp::bus {
namespace {

thread_local BusServer* t_server = nullptr;

// What one connection may hold: far more than any client needs, and little
// enough that a peer that floods cannot exhaust the server's memory.
constexpr std::size_t kMaxHeldPerPeer = 4096;

// Changes of signalled properties go out at most this often.
constexpr std::uint64_t kSignalPeriodUsec = 100'000;
constexpr std::uint64_t kSignalAccuracyUsec = 10'000;

// The group whose members may call the server besides root.
constexpr char kClientGroup[] = "fybootp";

bool InGroup(sd_bus_creds* creds, gid_t group) {
    gid_t gid = 0;
    if (sd_bus_creds_get_egid(creds, &gid) >= 0 && gid == group) return true;
    const gid_t* groups = nullptr;
    const int count = sd_bus_creds_get_supplementary_gids(creds, &groups);
    return count > 0 && std::find(groups, groups + count, group) != groups + count;
}

// Runs a handler's work and turns whatever escapes it into a status.
template <class Work>
HRESULT Guarded(Work&& work) noexcept {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

int ReplyStatus(sd_bus_message* message, HRESULT hr, const Variant* retval, VARTYPE type) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(message, &reply);
    if (r < 0) return r;
    r = sd_bus_message_append_basic(reply, 'i', &hr);
    if (r >= 0 && retval != nullptr) r = AppendValue(reply, type, *retval);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

}  // namespace

BusServer::BusServer(sd_bus* bus, std::vector<BusClass> classes)
    : m_bus(bus), m_classes(std::move(classes)) {}

int BusServer::Open(RunLoop& loop, std::vector<BusClass> classes,
                    std::unique_ptr<BusServer>* server) {
    sd_bus* bus = nullptr;
    int r = OpenBus(&bus);
    if (r < 0) return r;
    if ((r = sd_bus_attach_event(bus, loop.Event(), SD_EVENT_PRIORITY_NORMAL)) < 0) {
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
    static const sd_bus_vtable kClassFactory[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD_WITH_NAMES("CreateInstance", "", SD_BUS_PARAM(), "o", SD_BUS_PARAM(object),
                                 &BusServer::OnCreateInstance, 0),
        SD_BUS_METHOD_WITH_NAMES("LockServer", "b", SD_BUS_PARAM(lock), "i", SD_BUS_PARAM(status),
                                 &BusServer::OnLockServer, 0),
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
                             shape.interfaces[i].signalled)) {
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
        ReleaseNamesAndDrain();
        if (!keepServing()) return;
    }
}

HRESULT BusServer::CheckPeer(sd_bus_message* message) {
    sd_bus_creds* creds = nullptr;
    const std::uint64_t mask =
        SD_BUS_CREDS_EUID | SD_BUS_CREDS_EGID | SD_BUS_CREDS_SUPPLEMENTARY_GIDS;
    if (sd_bus_query_sender_creds(message, mask, &creds) < 0) return E_ACCESSDENIED;
    uid_t uid = 0;
    bool allowed = sd_bus_creds_get_euid(creds, &uid) >= 0 && (uid == 0 || uid == geteuid());
    if (!allowed) {
        const struct group* group = getgrnam(kClientGroup);
        allowed = group != nullptr && InGroup(creds, group->gr_gid);
    }
    sd_bus_creds_unref(creds);
    return allowed ? S_OK : E_ACCESSDENIED;
}

HRESULT BusServer::CheckCaller(Exported& exported, sd_bus_message* message) {
    // A tracked peer passed the check when it took its first reference or
    // lock; its credentials cannot change while its connection lasts.
    if (FindPeer(exported, sd_bus_message_get_sender(message)) != nullptr) return S_OK;
    return CheckPeer(message);
}

BusServer::Peer* BusServer::FindPeer(Exported& exported, const char* sender) {
    if (sender == nullptr) return nullptr;
    const auto found = exported.peers.find(sender);
    return found == exported.peers.end() ? nullptr : found->second.get();
}

HRESULT BusServer::TrackPeer(Exported& exported, const char* sender, Peer** peer) {
    *peer = FindPeer(exported, sender);
    if (*peer != nullptr) return S_OK;
    if (sender == nullptr) return E_INVALIDARG;
    auto record = std::make_unique<Peer>();
    record->owner = &exported;
    record->name = sender;
    if (sd_bus_track_new(m_bus, &record->track, &BusServer::OnPeerGone, record.get()) < 0) {
        return E_OUTOFMEMORY;
    }
    // Fails when the peer has left already; it then holds nothing.
    if (sd_bus_track_add_name(record->track, sender) < 0) {
        sd_bus_track_unref(record->track);
        return RPC_E_DISCONNECTED;
    }
    *peer = record.get();
    exported.peers.emplace(sender, std::move(record));
    return S_OK;
}

int BusServer::OnPeerGone(sd_bus_track*, void* userdata) {
    auto* peer = static_cast<Peer*>(userdata);
    Exported& exported = *peer->owner;
    auto node = exported.peers.extract(peer->name);
    // Everything the peer held is given back: its references and its locks.
    for (IUnknown* reference : peer->references) reference->Release();
    if (exported.factory != nullptr) {
        for (; peer->locks > 0; --peer->locks) exported.factory->LockServer(false);
    }
    sd_bus_track_unref(peer->track);
    return 0;
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

HRESULT BusServer::CallObject(InterfaceSlot& slot, const char* sender, std::size_t vtableIndex,
                              std::vector<Variant>& args, Variant* result) {
    Exported& exported = *slot.owner;
    if (exported.disconnected || exported.factory == nullptr) return RPC_E_DISCONNECTED;
    ComPtr<IUnknown> oneShot;
    IUnknown* identity = nullptr;
    if (Peer* peer = FindPeer(exported, sender); peer != nullptr && !peer->references.empty()) {
        identity = peer->references.front();
    } else {
        // Served as create, call, release.
        void* raw = nullptr;
        const HRESULT hr = exported.factory->CreateInstance(nullptr, IID_IUnknown, &raw);
        if (Failed(hr)) return hr;
        oneShot = ComPtr<IUnknown>::Attach(static_cast<IUnknown*>(raw));
        identity = oneShot.Get();
        exported.identity = identity;
        m_everReferenced = true;
    }
    const BusInterface& itf = exported.shape.interfaces[slot.index];
    ComPtr<IUnknown> target;
    const HRESULT hr = QueryInterfaceAs(identity, itf.iid, target.Receive());
    if (Failed(hr)) return hr;
    return itf.invoke(target.Get(), vtableIndex, args, result);
}

int BusServer::OnCreateInstance(sd_bus_message* message, void* userdata, sd_bus_error* error) try {
    auto& exported = *static_cast<Exported*>(userdata);
    BusServer& server = *exported.server;
    const HRESULT hr = Guarded([&] {
        HRESULT status = CheckPeer(message);
        if (Failed(status)) return status;
        if (exported.factory == nullptr) return RPC_E_DISCONNECTED;
        Peer* peer = nullptr;
        status = server.TrackPeer(exported, sd_bus_message_get_sender(message), &peer);
        if (Failed(status)) return status;
        if (peer->references.size() >= kMaxHeldPerPeer) return E_OUTOFMEMORY;
        void* raw = nullptr;
        status = exported.factory->CreateInstance(nullptr, IID_IUnknown, &raw);
        if (Failed(status)) return status;
        auto* identity = static_cast<IUnknown*>(raw);
        try {
            peer->references.push_back(identity);
        } catch (...) {
            identity->Release();
            throw;
        }
        exported.identity = identity;
        server.m_everReferenced = true;
        return S_OK;
    });
    if (Failed(hr)) return SetHresultError(error, hr, "CreateInstance refused");
    // The values a new client starts from: changes after this are signalled.
    server.SignalChanges(exported);
    return sd_bus_reply_method_return(message, "o", exported.shape.objectPath.c_str());
} catch (...) {
    // Nothing may unwind into sd-bus: the call fails, the server goes on.
    return -ENOMEM;
}

int BusServer::OnLockServer(sd_bus_message* message, void* userdata, sd_bus_error* error) try {
    auto& exported = *static_cast<Exported*>(userdata);
    int lock = 0;
    int r = sd_bus_message_read_basic(message, 'b', &lock);
    if (r < 0) return r;
    const HRESULT hr = Guarded([&] {
        HRESULT status = CheckPeer(message);
        if (Failed(status)) return status;
        if (exported.factory == nullptr) return RPC_E_DISCONNECTED;
        Peer* peer = nullptr;
        status = exported.server->TrackPeer(exported, sd_bus_message_get_sender(message), &peer);
        if (Failed(status)) return status;
        // A peer gives back only locks it took; it cannot drop another's.
        if (!lock && peer->locks == 0) return E_UNEXPECTED;
        if (lock && static_cast<std::size_t>(peer->locks) >= kMaxHeldPerPeer) return E_OUTOFMEMORY;
        status = exported.factory->LockServer(lock != 0);
        if (Succeeded(status)) {
            peer->locks += lock ? 1 : -1;
            if (lock) exported.server->m_everReferenced = true;
        }
        return status;
    });
    if (Failed(hr)) return SetHresultError(error, hr, "LockServer refused");
    return ReplyStatus(message, hr, nullptr, VT_EMPTY);
} catch (...) {
    // Nothing may unwind into sd-bus: the call fails, the server goes on.
    return -ENOMEM;
}

int BusServer::OnMethod(sd_bus_message* message, void* userdata, sd_bus_error* error) try {
    auto& slot = *static_cast<InterfaceSlot*>(userdata);
    const BusMember* member = FindMember(slot.members, sd_bus_message_get_member(message));
    if (member == nullptr || member->isProperty) return -EBADMSG;
    Variant result;
    const HRESULT hr = Guarded([&] {
        HRESULT status = slot.owner->server->CheckCaller(*slot.owner, message);
        if (Failed(status)) return status;
        std::vector<Variant> args;
        const int r = ReadArguments(message, member->inSignature, slot.owner->shape.maxTextBytes,
                                    &args, &status);
        if (r < 0) return E_INVALIDARG;
        if (Failed(status)) return status;
        return slot.owner->server->CallObject(slot, sd_bus_message_get_sender(message),
                                              member->methodIndex, args, &result);
    });
    if (Failed(hr)) return SetHresultError(error, hr, member->name);
    const bool hasRetval = member->outSignature.size() > 1;
    const VARTYPE type = !hasRetval                       ? VT_EMPTY
                         : member->outSignature[1] == 'i' ? VT_I4
                         : member->outSignature[1] == 's' ? VT_BSTR
                                                          : VT_R8;
    return ReplyStatus(message, hr, hasRetval ? &result : nullptr, type);
} catch (...) {
    // Nothing may unwind into sd-bus: the call fails, the server goes on.
    return -ENOMEM;
}

int BusServer::OnGet(sd_bus* bus, const char*, const char*, const char* property,
                     sd_bus_message* reply, void* userdata, sd_bus_error* error) try {
    auto& slot = *static_cast<InterfaceSlot*>(userdata);
    const BusMember* member = FindMember(slot.members, property);
    if (member == nullptr || !member->isProperty) return -ENOENT;
    // No current message: the value goes into a PropertiesChanged signal
    // of our own, while a peer holds a reference.
    sd_bus_message* call = sd_bus_get_current_message(bus);
    Variant result;
    const HRESULT hr = Guarded([&] {
        const HRESULT status =
            call == nullptr ? S_OK : slot.owner->server->CheckCaller(*slot.owner, call);
        if (Failed(status)) return status;
        std::vector<Variant> none;
        return slot.owner->server->CallObject(
            slot, call == nullptr ? nullptr : sd_bus_message_get_sender(call), member->getIndex,
            none, &result);
    });
    if (Failed(hr)) return SetHresultError(error, hr, member->name);
    return AppendValue(reply, member->propertyType, result);
} catch (...) {
    // Nothing may unwind into sd-bus: the call fails, the server goes on.
    return -ENOMEM;
}

int BusServer::OnSet(sd_bus* bus, const char*, const char*, const char* property,
                     sd_bus_message* value, void* userdata, sd_bus_error* error) try {
    auto& slot = *static_cast<InterfaceSlot*>(userdata);
    const BusMember* member = FindMember(slot.members, property);
    if (member == nullptr || member->putIndex == kNoMember) return -EPERM;
    sd_bus_message* call = sd_bus_get_current_message(bus);
    const HRESULT hr = Guarded([&] {
        HRESULT status = slot.owner->server->CheckCaller(*slot.owner, call);
        if (Failed(status)) return status;
        std::vector<Variant> args;
        const std::string signature(1, SignatureOf(member->propertyType));
        if (ReadArguments(value, signature, slot.owner->shape.maxTextBytes, &args, &status) < 0) {
            return E_INVALIDARG;
        }
        if (Failed(status)) return status;
        return slot.owner->server->CallObject(slot, sd_bus_message_get_sender(call),
                                              member->putIndex, args, nullptr);
    });
    if (Failed(hr)) return SetHresultError(error, hr, member->name);
    return 0;
} catch (...) {
    // Nothing may unwind into sd-bus: the call fails, the server goes on.
    return -ENOMEM;
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
