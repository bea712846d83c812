// The calls that reach an exported class: the references and locks each
// peer holds, and the handlers of the class object's and the server
// object's members, each of which checks the caller first
// (bus_peer_check.cpp) and tells the audit hook of the calls that change
// state.

#include <cerrno>

#include "platform/com/guarded.h"
#include "platform/bus/bus_server.h"
#include "platform/bus/bus_status.h"
#include "platform/com/com_ptr.h"

namespace fybootp::bus {
namespace {

// What one connection may hold, and how many may hold something at once:
// far more than any plant's clients need, and little enough that peers
// that flood cannot exhaust the server's memory (bus_server.h).
constexpr std::size_t kMaxHeldPerPeer = 4096;
constexpr std::size_t kMaxHoldingPeers = 1024;

// A call that moved this much text is a large one (bus_server.h,
// m_trimPending): a table of about 13,000 rows, a log of about 7,000 entries.
constexpr std::size_t kTrimAfterTextBytes = 1 << 20;

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

// An audit line that cannot be made is lost; the caller's answer stays.
void Audit(const BusClass& shape, const BusMember& member, const CallerIdentity& caller,
           const std::vector<Variant>& args, HRESULT result) noexcept {
    if (!member.audited || !shape.audit) return;
    try {
        shape.audit(caller, member.name, args, result);
    } catch (...) {
    }
}

}  // namespace

BusServer::Peer* BusServer::FindPeer(Exported& exported, const char* sender) {
    if (sender == nullptr) return nullptr;
    const auto found = exported.peers.find(sender);
    return found == exported.peers.end() ? nullptr : &found->second;
}

HRESULT BusServer::HoldingPeer(Exported& exported, const char* sender, Peer** peer) {
    *peer = FindPeer(exported, sender);
    if (*peer != nullptr) return S_OK;
    if (sender == nullptr) return E_INVALIDARG;
    if (exported.peers.size() >= kMaxHoldingPeers) return E_OUTOFMEMORY;
    // No watch of its own: the one NameOwnerChanged match sees it leave.
    // Its call was sent before it left, so the signal comes after the call.
    *peer = &exported.peers[sender];
    return S_OK;
}

void BusServer::ForgetIdlePeer(Exported& exported, const char* sender) {
    if (const Peer* peer = FindPeer(exported, sender); peer != nullptr && peer->HoldsNothing()) {
        exported.peers.erase(sender);
    }
}

int BusServer::OnNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) try {
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    // A connection that left: its unique name lost its owner. Well-known
    // names changing hands are not peers.
    if (name[0] != ':' || newOwner[0] != '\0') return 0;
    static_cast<BusServer*>(userdata)->PeerLeft(name);
    return 0;
} catch (...) {
    // Nothing may unwind into sd-bus.
    return 0;
}

void BusServer::PeerLeft(const std::string& name) {
    for (auto& exported : m_exports) {
        exported->admitted.erase(name);  // never to be seen again
        auto node = exported->peers.extract(name);
        if (node.empty()) continue;
        // Everything the peer held is given back: its references and its
        // locks. The last one may end a local server (its loop's quit).
        Peer& peer = node.mapped();
        for (IUnknown* reference : peer.references) reference->Release();
        if (exported->factory != nullptr) {
            for (; peer.locks > 0; --peer.locks) exported->factory->LockServer(false);
        }
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
        NoteObject(exported, identity);
        m_everReferenced = true;
    }
    const BusInterface& itf = exported.shape.interfaces[slot.index];
    ComPtr<IUnknown> target;
    const HRESULT hr = QueryInterfaceAs(identity, itf.iid, target.Receive());
    if (Failed(hr)) return hr;
    const HRESULT status = itf.invoke(target.Get(), vtableIndex, args, result);
    std::size_t moved = result != nullptr && result->Type() == VT_BSTR ? result->Text().size() : 0;
    for (const Variant& arg : args) moved += arg.Type() == VT_BSTR ? arg.Text().size() : 0;
    if (moved >= kTrimAfterTextBytes) m_trimPending = true;
    return status;
}

int BusServer::OnCreateInstance(sd_bus_message* message, void* userdata, sd_bus_error* error) try {
    auto& exported = *static_cast<Exported*>(userdata);
    BusServer& server = *exported.server;
    const char* sender = sd_bus_message_get_sender(message);
    const HRESULT hr = Guarded([&] {
        CallerIdentity caller;
        HRESULT status = server.CheckPeer(exported, message, &caller);
        if (Failed(status)) return status;
        if (exported.factory == nullptr) return RPC_E_DISCONNECTED;
        // Served through the unique name by a server that is ending, it
        // would leave a second server behind, past the drain.
        if (exported.stopping) return CO_E_SERVER_STOPPING;
        Peer* peer = nullptr;
        status = server.HoldingPeer(exported, sender, &peer);
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
        server.NoteObject(exported, identity);
        server.m_everReferenced = true;
        return S_OK;
    });
    if (Failed(hr)) {
        server.ForgetIdlePeer(exported, sender);
        return SetHresultError(error, hr, "CreateInstance refused");
    }
    return sd_bus_reply_method_return(message, "o", exported.shape.objectPath.c_str());
} catch (...) {
    // Nothing may unwind into sd-bus: the call fails, the server goes on.
    return -ENOMEM;
}

int BusServer::OnLockServer(sd_bus_message* message, void* userdata, sd_bus_error* error) try {
    auto& exported = *static_cast<Exported*>(userdata);
    BusServer& server = *exported.server;
    const char* sender = sd_bus_message_get_sender(message);
    int lock = 0;
    int r = sd_bus_message_read_basic(message, 'b', &lock);
    if (r < 0) return r;
    const HRESULT hr = Guarded([&] {
        CallerIdentity caller;
        HRESULT status = server.CheckPeer(exported, message, &caller);
        if (Failed(status)) return status;
        if (exported.factory == nullptr) return RPC_E_DISCONNECTED;
        Peer* peer = FindPeer(exported, sender);
        if (!lock) {
            // A peer gives back only locks it took; it cannot drop another's.
            if (peer == nullptr || peer->locks == 0) return E_UNEXPECTED;
            status = exported.factory->LockServer(false);
            if (Succeeded(status)) --peer->locks;
            return status;
        }
        if (exported.stopping) return CO_E_SERVER_STOPPING;
        status = server.HoldingPeer(exported, sender, &peer);
        if (Failed(status)) return status;
        if (static_cast<std::size_t>(peer->locks) >= kMaxHeldPerPeer) return E_OUTOFMEMORY;
        status = exported.factory->LockServer(true);
        if (Succeeded(status)) {
            ++peer->locks;
            server.m_everReferenced = true;
        }
        return status;
    });
    // A record is kept only while its peer holds something.
    server.ForgetIdlePeer(exported, sender);
    if (Failed(hr)) return SetHresultError(error, hr, "LockServer refused");
    return ReplyStatus(message, hr, nullptr, VT_EMPTY);
} catch (...) {
    // Nothing may unwind into sd-bus: the call fails, the server goes on.
    return -ENOMEM;
}

int BusServer::OnMethod(sd_bus_message* message, void* userdata, sd_bus_error* error) try {
    auto& slot = *static_cast<InterfaceSlot*>(userdata);
    Exported& exported = *slot.owner;
    const BusMember* member = FindMember(slot.members, sd_bus_message_get_member(message));
    if (member == nullptr || member->isProperty) return -EBADMSG;
    CallerIdentity caller;
    bool admitted = false;
    std::vector<Variant> args;
    Variant result;
    const HRESULT hr = Guarded([&] {
        HRESULT status = exported.server->CheckPeer(exported, message, &caller);
        if (Failed(status)) return status;
        admitted = true;
        const int r = ReadArguments(message, member->inSignature, exported.shape.maxTextBytes,
                                    &args, &status);
        if (r < 0) return E_INVALIDARG;
        if (Failed(status)) return status;
        // An ending server changes nothing: the caller asks again and
        // reaches the server that follows it.
        if (exported.stopping && member->audited) return CO_E_SERVER_STOPPING;
        return exported.server->CallObject(slot, caller.uniqueName.c_str(), member->methodIndex,
                                           args, &result);
    });
    if (admitted) Audit(exported.shape, *member, caller, args, hr);
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
    sd_bus_message* call = sd_bus_get_current_message(bus);
    Variant result;
    const HRESULT hr = Guarded([&] {
        CallerIdentity caller;
        const HRESULT status = slot.owner->server->CheckPeer(*slot.owner, call, &caller);
        if (Failed(status)) return status;
        std::vector<Variant> none;
        return slot.owner->server->CallObject(slot, caller.uniqueName.c_str(), member->getIndex,
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
    Exported& exported = *slot.owner;
    const BusMember* member = FindMember(slot.members, property);
    if (member == nullptr || member->putIndex == kNoMember) return -EPERM;
    sd_bus_message* call = sd_bus_get_current_message(bus);
    CallerIdentity caller;
    bool admitted = false;
    std::vector<Variant> args;
    const HRESULT hr = Guarded([&] {
        HRESULT status = exported.server->CheckPeer(exported, call, &caller);
        if (Failed(status)) return status;
        admitted = true;
        const std::string signature(1, SignatureOf(member->propertyType));
        if (ReadArguments(value, signature, exported.shape.maxTextBytes, &args, &status) < 0) {
            return E_INVALIDARG;
        }
        if (Failed(status)) return status;
        if (exported.stopping && member->audited) return CO_E_SERVER_STOPPING;
        return exported.server->CallObject(slot, caller.uniqueName.c_str(), member->putIndex,
                                           args, nullptr);
    });
    if (admitted) Audit(exported.shape, *member, caller, args, hr);
    if (Failed(hr)) return SetHresultError(error, hr, member->name);
    return 0;
} catch (...) {
    // Nothing may unwind into sd-bus: the call fails, the server goes on.
    return -ENOMEM;
}

}  // namespace fybootp::bus
