#pragma once
// The server side of the bus: class objects exported under their well-known
// names, the one server object of each class behind them, and the
// references and LockServer locks that bus peers hold, kept per peer and
// given back when a peer leaves the bus.
//
// What a call goes through, in this order: the peer (the bus policy, then
// the caller's credentials as the bus daemon reports them: uid 0, or a
// member of the class's caller group), the signature (sd-bus refuses any
// other), the arguments (texts longer than the class allows are refused),
// and only then the object. Every reply carries a status; a failure is a
// bus error whose name carries the HRESULT (bus_status.h). A call of a
// member that changes state is then told to the class's audit hook, with
// the caller, whatever its status.
//
// A peer that holds no reference is served as create, call, release, so a
// one-shot caller such as busctl works; Introspect and Peer take none.
//
// Peers are watched through one NameOwnerChanged match for all of them: a
// bus daemon allows each connection a fixed number of match rules (512 in
// Debian's system.conf), and a rule per peer would let enough clients close
// the server's connection. A peer is kept only while it holds a reference
// or a lock. At most 1024 peers hold something at once, each at most 4096
// references and 4096 locks; beyond that CreateInstance and LockServer(true)
// answer E_OUTOFMEMORY, and every other call is served as before. A peer
// gives back only locks it took: any other LockServer(false) is refused
// with E_UNEXPECTED.
//
// Ending: once the well-known name is given up, CreateInstance and
// LockServer(true) answer CO_E_SERVER_STOPPING, as does a call of a member
// that changes state, so that nothing outlives the drain and no ending
// server writes after a new one has started; the client proxy then asks
// the well-known name again, which starts a new server. The drain answers
// only the calls queued when the name went, for at most 1 s.
//
// PropertiesChanged of the signalled properties goes out whenever the
// object is published, whoever holds it, at most ten times a second: the
// values are compared every 100 ms, so the last value of a burst is always
// signalled, and a signal that could not be sent is tried again.

#include <systemd/sd-bus.h>

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/bus/bus_members.h"
#include "platform/bus/bus_shape.h"
#include "platform/bus/run_loop.h"
#include "platform/com/class_factory.h"
#include "platform/com/com_types.h"

namespace fybootp::bus {

constexpr HRESULT CO_E_NOTINITIALIZED = MakeHresult(0x800401F0u);
// A well-known name that another connection owns already.
constexpr HRESULT kNameTaken = MakeHresult(0x800700B7u);  // ERROR_ALREADY_EXISTS

class BusServer {
public:
    // Connects to the bus (bus_connection.h) and attaches it to the loop. The
    // classes are those this server may register, with their bus shapes.
    // While it exists, the Co* functions below on this thread use it. On
    // failure, a negative errno and the name of the call that failed.
    static int Open(RunLoop& loop, std::vector<BusClass> classes,
                    std::unique_ptr<BusServer>* server, std::string* failedCall);
    ~BusServer();
    BusServer(const BusServer&) = delete;
    BusServer& operator=(const BusServer&) = delete;

    // Exports the class object and its server object, then takes the
    // class's well-known name. REGDB_E_CLASSNOTREG for a class without
    // shape, kNameTaken when another connection owns the name.
    HRESULT RegisterClassObject(const GUID& clsid, IUnknown* classObject, DWORD* cookie);
    // Gives up the name, removes the class object and drops the reference
    // on it that registration took (and the locks peers still hold). A name
    // that cannot be given up is reported as the call's failure, after the
    // rest is done.
    HRESULT RevokeClassObject(DWORD cookie);
    // Later calls on the object fail with RPC_E_DISCONNECTED; the
    // references that peers held on it are released.
    HRESULT DisconnectObject(IUnknown* object);

    // The loop, and the end of it: after the quit the well-known names are
    // given up and what was queued then is answered. A lost bus connection
    // ends it at once, whatever the count. Empty when it ended as asked,
    // else why not: the bus connection was lost, or the call that failed.
    std::string RunMessageLoop(RunLoop& loop);

    // True once any peer has taken a reference or a lock.
    bool EverReferenced() const { return m_everReferenced; }
    sd_bus* Bus() const { return m_bus; }
    std::string UniqueName() const;

private:
    struct Peer {
        std::vector<IUnknown*> references;  // one AddLock each
        int locks = 0;
        bool HoldsNothing() const { return references.empty() && locks == 0; }
    };
    struct Exported;
    struct InterfaceSlot {
        Exported* owner = nullptr;
        std::size_t index = 0;  // into shape.interfaces
        std::vector<BusMember> members;
        std::unique_ptr<BusVtable> vtable;
        std::map<std::string, Variant> lastSignalled;  // by property name
    };
    struct Exported {
        BusServer* server = nullptr;
        DWORD cookie = 0;
        BusClass shape;
        IClassFactory* factory = nullptr;  // the reference registration took
        IUnknown* identity = nullptr;      // the server object, not counted
        // The object's interfaces (by shape.interfaces index; null where
        // nothing is signalled), taken while a reference was held and not
        // counted, as identity: the object lives as long as its class
        // object, and references move the process's lock count, which a
        // read for a signal must never bring to 0.
        std::vector<IUnknown*> signalTargets;
        bool nameOwned = false;
        bool stopping = false;  // the name has been given up
        bool disconnected = false;
        std::vector<sd_bus_slot*> slots;
        std::vector<std::unique_ptr<InterfaceSlot>> interfaces;
        // Only peers that hold something, by unique name.
        std::map<std::string, Peer> peers;
        // Callers admitted already, by unique name, with their uid: a bus
        // daemon never reuses a unique name, and a connection's credentials
        // are fixed when it connects. Refused callers are not kept.
        std::unordered_map<std::string, uid_t> admitted;
    };

    BusServer(sd_bus* bus, std::vector<BusClass> classes);

    HRESULT ExportClass(Exported& exported);
    std::string ReleaseNames();
    void Drain();
    void DropPeers(Exported& exported, bool releaseReferences);

    // The call steps.
    HRESULT CheckPeer(Exported& exported, sd_bus_message* message, CallerIdentity* caller);
    static Peer* FindPeer(Exported& exported, const char* sender);
    // The record of a peer about to take a reference or a lock, made when
    // it has none; E_OUTOFMEMORY past the cap.
    static HRESULT HoldingPeer(Exported& exported, const char* sender, Peer** peer);
    // Drops the record of a peer that holds nothing (after a refused call).
    static void ForgetIdlePeer(Exported& exported, const char* sender);
    HRESULT CallObject(InterfaceSlot& slot, const char* sender, std::size_t vtableIndex,
                       std::vector<Variant>& args, Variant* result);
    // Called while `identity` is a counted reference: keeps the object's
    // interfaces for the signals and reads the values changes start from.
    void NoteObject(Exported& exported, IUnknown* identity);

    static int OnCreateInstance(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int OnLockServer(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int OnMethod(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int OnGet(sd_bus* bus, const char* path, const char* interface, const char* property,
                     sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int OnSet(sd_bus* bus, const char* path, const char* interface, const char* property,
                     sd_bus_message* value, void* userdata, sd_bus_error* error);
    static int OnNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int OnAnyMessage(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int OnSignalTimer(sd_event_source* source, std::uint64_t usec, void* userdata);
    void PeerLeft(const std::string& name);
    void SignalChanges(Exported& exported);
    // The values of the signalled properties now, by name; those that
    // cannot be read are left out.
    std::map<std::string, Variant> ReadSignalled(Exported& exported, InterfaceSlot& slot);

    sd_bus* m_bus = nullptr;
    sd_event_source* m_signalTimer = nullptr;
    sd_bus_slot* m_peerWatch = nullptr;    // the one NameOwnerChanged match
    sd_bus_slot* m_messageCount = nullptr; // counts what is dispatched
    std::uint64_t m_dispatched = 0;
    // A call moved a large text (a whole table or log): the heap it used is
    // handed back to the system once its reply has left (OnSignalTimer).
    bool m_trimPending = false;
    std::vector<BusClass> m_classes;
    std::vector<std::unique_ptr<Exported>> m_exports;
    DWORD m_nextCookie = 0;
    bool m_everReferenced = false;
};

// The COM calls of a local server, on the calling thread's BusServer;
// CO_E_NOTINITIALIZED on a thread without one.
HRESULT CoRegisterClassObject(const GUID& clsid, IUnknown* classObject, DWORD classContext,
                              DWORD flags, DWORD* cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
HRESULT CoDisconnectObject(IUnknown* object, DWORD reserved);

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;

}  // namespace fybootp::bus
