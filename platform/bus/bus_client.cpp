#include "platform/bus/bus_client.h"

#include <mutex>
#include <vector>

#include "platform/bus/bus_connection.h"
#include "platform/bus/bus_members.h"
#include "platform/bus/bus_server.h"
#include "platform/bus/bus_status.h"

namespace fybootp::bus {
namespace {

std::mutex g_proxyLock;
std::vector<ProxyClass>& ProxyClasses() {
    static std::vector<ProxyClass> classes;
    return classes;
}

// Owns one message and one error for the length of a call.
struct CallResult {
    sd_bus_message* reply = nullptr;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    ~CallResult() {
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }
};

int AppendArguments(sd_bus_message* message, std::span<const Variant> args) {
    for (const Variant& arg : args) {
        const int r = AppendValue(message, arg.Type(), arg);
        if (r < 0) return r;
    }
    return 0;
}

}  // namespace

BusChannel::BusChannel(sd_bus* bus, std::string server, std::string classPath,
                       std::string objectPath)
    : m_bus(bus),
      m_server(std::move(server)),
      m_classPath(std::move(classPath)),
      m_objectPath(std::move(objectPath)) {}

BusChannel::~BusChannel() { sd_bus_flush_close_unref(m_bus); }

HRESULT BusChannel::Activate(const std::string& busName, const std::string& classPath,
                             std::unique_ptr<BusChannel>* channel) {
    channel->reset();
    sd_bus* bus = nullptr;
    int r = OpenClientBus(&bus);
    if (r < 0) return HresultFromBusError(nullptr, r, CallKind::kActivation);
    CallResult call;
    r = sd_bus_call_method(bus, busName.c_str(), classPath.c_str(), kClassFactoryInterface,
                           "CreateInstance", &call.error, &call.reply, "");
    const char* path = nullptr;
    if (r >= 0) r = sd_bus_message_read_basic(call.reply, 'o', &path);
    if (r <= 0) {
        sd_bus_flush_close_unref(bus);
        return HresultFromBusError(&call.error, r < 0 ? r : -EBADMSG, CallKind::kActivation);
    }
    const char* server = sd_bus_message_get_sender(call.reply);
    channel->reset(new BusChannel(bus, server != nullptr ? server : busName, classPath, path));
    return S_OK;
}

HRESULT BusChannel::Call(const std::string& interface, const char* member,
                         std::span<const Variant> args, VARTYPE retvalType, Variant* retval) {
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(m_bus, &message, m_server.c_str(), m_objectPath.c_str(),
                                           interface.c_str(), member);
    if (r < 0) return HresultFromBusError(nullptr, r, CallKind::kBound);
    CallResult call;
    r = AppendArguments(message, args);
    if (r < 0) {
        sd_bus_message_unref(message);
        return E_INVALIDARG;
    }
    r = sd_bus_call(m_bus, message, 0, &call.error, &call.reply);
    sd_bus_message_unref(message);
    if (r < 0) return HresultFromBusError(&call.error, r, CallKind::kBound);
    HRESULT status = S_OK;
    r = sd_bus_message_read_basic(call.reply, 'i', &status);
    if (r > 0 && retvalType != VT_EMPTY && retval != nullptr) {
        r = ReadValue(call.reply, retvalType, retval);
    }
    return r < 0 || r == 0 ? E_UNEXPECTED : status;
}

HRESULT BusChannel::GetProperty(const std::string& interface, const char* name, VARTYPE type,
                                Variant* value) {
    CallResult call;
    const std::string signature(1, SignatureOf(type));
    int r = sd_bus_get_property(m_bus, m_server.c_str(), m_objectPath.c_str(), interface.c_str(),
                                name, &call.error, &call.reply, signature.c_str());
    if (r < 0) return HresultFromBusError(&call.error, r, CallKind::kBound);
    // The reply stands inside the variant already.
    r = ReadValue(call.reply, type, value);
    return r > 0 ? S_OK : E_UNEXPECTED;
}

HRESULT BusChannel::SetProperty(const std::string& interface, const char* name,
                                const Variant& value) {
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(m_bus, &message, m_server.c_str(), m_objectPath.c_str(),
                                           "org.freedesktop.DBus.Properties", "Set");
    if (r < 0) return HresultFromBusError(nullptr, r, CallKind::kBound);
    const std::string signature(1, SignatureOf(value.Type()));
    r = sd_bus_message_append(message, "ss", interface.c_str(), name);
    if (r >= 0) r = sd_bus_message_open_container(message, 'v', signature.c_str());
    if (r >= 0) r = AppendValue(message, value.Type(), value);
    if (r >= 0) r = sd_bus_message_close_container(message);
    CallResult call;
    if (r >= 0) r = sd_bus_call(m_bus, message, 0, &call.error, &call.reply);
    sd_bus_message_unref(message);
    return r < 0 ? HresultFromBusError(&call.error, r, CallKind::kBound) : S_OK;
}

HRESULT BusChannel::LockServer(bool lock) {
    CallResult call;
    int r = sd_bus_call_method(m_bus, m_server.c_str(), m_classPath.c_str(), kClassFactoryInterface,
                               "LockServer", &call.error, &call.reply, "b", static_cast<int>(lock));
    if (r < 0) return HresultFromBusError(&call.error, r, CallKind::kBound);
    HRESULT status = S_OK;
    r = sd_bus_message_read_basic(call.reply, 'i', &status);
    return r > 0 ? status : E_UNEXPECTED;
}

void RegisterProxyClass(ProxyClass proxyClass) {
    const std::lock_guard guard(g_proxyLock);
    auto& classes = ProxyClasses();
    for (ProxyClass& known : classes) {
        if (known.clsid == proxyClass.clsid) {
            known = std::move(proxyClass);
            return;
        }
    }
    classes.push_back(std::move(proxyClass));
}

HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD classContext, const IID& iid,
                         void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if ((classContext & CLSCTX_LOCAL_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    ProxyClass proxyClass;
    {
        const std::lock_guard guard(g_proxyLock);
        bool found = false;
        for (const ProxyClass& known : ProxyClasses()) {
            if (known.clsid == clsid) {
                proxyClass = known;
                found = true;
            }
        }
        if (!found) return REGDB_E_CLASSNOTREG;
    }
    try {
        std::unique_ptr<BusChannel> channel;
        HRESULT hr = BusChannel::Activate(proxyClass.busName, proxyClass.classPath, &channel);
        // The server that answered was ending and has given up the name
        // already: asked again, the name reaches its successor, which the
        // bus starts when there is none.
        if (hr == CO_E_SERVER_STOPPING) {
            hr = BusChannel::Activate(proxyClass.busName, proxyClass.classPath, &channel);
        }
        if (Failed(hr)) return hr;
        return proxyClass.create(std::move(channel), iid, object);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace fybootp::bus
