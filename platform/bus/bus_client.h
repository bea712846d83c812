#pragma once
// The client side: CoCreateInstance for a local server reached over the
// bus. Each proxy has a connection of its own, on the client's bus
// (OpenClientBus). Creating one calls the class's CreateInstance on its
// well-known name, which lets the bus start the server; from then on the
// proxy calls the unique name of the server that answered, never the
// well-known one, so a client that outlives its server gets
// RPC_E_DISCONNECTED instead of silently starting a new one.
// The proxy's last Release closes its connection, and the server gives
// back every reference the connection held. A server that is ending answers
// CreateInstance with CO_E_SERVER_STOPPING after it gave up its name;
// CoCreateInstance then asks the well-known name once more.

#include <systemd/sd-bus.h>

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/bus/bus_shape.h"
#include "platform/com/com_types.h"

namespace fybootp::bus {

class BusChannel {
public:
    // REGDB_E_CLASSNOTREG when the bus knows no server for the name,
    // CO_E_SERVER_EXEC_FAILURE when the server could not be started, or the
    // status the class object refused with.
    static HRESULT Activate(const std::string& busName, const std::string& classPath,
                            std::unique_ptr<BusChannel>* channel);
    ~BusChannel();
    BusChannel(const BusChannel&) = delete;
    BusChannel& operator=(const BusChannel&) = delete;

    // A method that replies with its status ("i") and, when retvalType is
    // not VT_EMPTY, a retval. The status is returned; S_FALSE too.
    HRESULT Call(const std::string& interface, const char* member, std::span<const Variant> args,
                 VARTYPE retvalType, Variant* retval);
    HRESULT GetProperty(const std::string& interface, const char* name, VARTYPE type,
                        Variant* value);
    HRESULT SetProperty(const std::string& interface, const char* name, const Variant& value);
    HRESULT LockServer(bool lock);

    const std::string& ServerName() const { return m_server; }
    const std::string& ObjectPath() const { return m_objectPath; }

private:
    BusChannel(sd_bus* bus, std::string server, std::string classPath, std::string objectPath);

    sd_bus* m_bus;
    std::string m_server;
    std::string m_classPath;
    std::string m_objectPath;
};

// Makes the proxy object for a channel: S_OK and the asked interface in
// *object, or a status.
using ProxyFactory = HRESULT (*)(std::unique_ptr<BusChannel> channel, const IID& iid,
                                 void** object);

struct ProxyClass {
    GUID clsid = IID_NULL;
    std::string busName;
    std::string classPath;
    ProxyFactory create = nullptr;
};

// Makes CoCreateInstance know a class; a second registration replaces the first.
void RegisterProxyClass(ProxyClass proxyClass);

// CLSCTX_LOCAL_SERVER only: REGDB_E_CLASSNOTREG for any class without a
// proxy, and for any other context; CLASS_E_NOAGGREGATION with an outer object.
HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD classContext, const IID& iid,
                         void** object);

}  // namespace fybootp::bus
