#include "host/fybootp_proxy.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "automation/fybootp_ids.h"
#include "automation/fybootp_interfaces.h"
#include "automation/fybootp_object.h"
#include "automation/type_library_resource.h"
#include "host/bus_shapes.h"
#include "platform/bus/bus_client.h"
#include "platform/com/com_ptr.h"
#include "platform/com/guarded.h"
#include "platform/com/load_type_lib.h"

namespace fybootp::host {
namespace {

const std::string kServer = kServerInterface;
const std::string kControl = kControlInterface;

class FyBootpProxy final : public IFyBootpServer, public IFyServerControl, private DispatchTarget {
public:
    explicit FyBootpProxy(std::unique_ptr<bus::BusChannel> channel)
        : m_channel(std::move(channel)) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        IFyBootpServer* identity = this;
        if (iid == IID_IUnknown || iid == IID_IFyBootpServer) {
            *object = identity;
        } else if (iid == IID_IDispatch) {
            *object = static_cast<IDispatch*>(identity);
        } else if (iid == IID_IFyServerControl) {
            *object = static_cast<IFyServerControl*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return m_references.fetch_add(1) + 1; }
    // The last one closes the connection: the server gives back what it held.
    ULONG Release() override {
        const ULONG left = m_references.fetch_sub(1) - 1;
        if (left == 0) delete this;
        return left;
    }

    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info == nullptr) return E_POINTER;
        *info = nullptr;
        const HRESULT hr = LoadTypeInfo();
        if (Succeeded(hr)) *info = ComPtr<ITypeInfo>(m_typeInfo).Detach();
        return hr;
    }
    HRESULT GetIDsOfNames(const IID&, const OLECHAR* const* names, UINT count, LCID,
                          DISPID* ids) override {
        const HRESULT hr = LoadTypeInfo();
        return Failed(hr) ? hr : m_typeInfo->GetIDsOfNames(names, count, ids);
    }
    HRESULT Invoke(DISPID member, const IID&, LCID, WORD flags, DISPPARAMS* params, Variant* result,
                   EXCEPINFO* exception, UINT* argErr) override {
        const HRESULT hr = LoadTypeInfo();
        return Failed(hr)
                   ? hr
                   : m_typeInfo->Invoke(this, member, flags, params, result, exception, argErr);
    }

    HRESULT get_BootpInfosXml(BSTR* pVal) override { return GetText("BootpInfosXml", pVal); }
    HRESULT put_BootpInfosXml(BSTR newVal) override { return PutText("BootpInfosXml", newVal); }
    HRESULT get_LogChangeCnt(std::int32_t* pVal) override { return GetLong("LogChangeCnt", pVal); }
    HRESULT get_NewMacCnt(std::int32_t* pVal) override { return GetLong("NewMacCnt", pVal); }
    HRESULT get_NewMacAddresses(BSTR* pVal) override { return GetText("NewMacAddresses", pVal); }
    HRESULT get_LogEntries(BSTR* pVal) override { return GetText("LogEntries", pVal); }
    HRESULT put_LogEntries(BSTR newVal) override { return PutText("LogEntries", newVal); }
    HRESULT get_Started(std::int32_t* pVal) override { return GetLong("Started", pVal); }
    HRESULT put_Started(std::int32_t newVal) override { return PutLong("Started", newVal); }
    HRESULT get_HostInfoXml(BSTR* pVal) override { return GetText("HostInfoXml", pVal); }
    HRESULT put_HostInfoXml(BSTR newVal) override { return PutText("HostInfoXml", newVal); }
    HRESULT AddBootpInfo(BSTR macAddr, std::int32_t ipAddr) override {
        return Call(kServer, "AddBootpInfo", {Variant::FromBstr(macAddr), Variant::FromI4(ipAddr)});
    }
    HRESULT DeleteBootpInfo(BSTR macAddr) override {
        return Call(kServer, "DeleteBootpInfo", {Variant::FromBstr(macAddr)});
    }
    HRESULT get_DisableResponse(std::int32_t* pVal) override {
        return GetLong("DisableResponse", pVal);
    }
    HRESULT put_DisableResponse(std::int32_t newVal) override {
        return PutLong("DisableResponse", newVal);
    }

    HRESULT Reserved1(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) override {
        return Call4("Reserved1", a, b, c, d);
    }
    HRESULT Reserved2(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) override {
        return Call4("Reserved2", a, b, c, d);
    }
    HRESULT Reserved3(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) override {
        return Call4("Reserved3", a, b, c, d);
    }
    HRESULT Reserved4(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) override {
        return Call4("Reserved4", a, b, c, d);
    }
    HRESULT Reserved5(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) override {
        return Call4("Reserved5", a, b, c, d);
    }
    HRESULT Reserved6(std::int32_t a) override {
        return Call(kControl, "Reserved6", {Variant::FromI4(a)});
    }
    HRESULT Reserved7(std::int32_t a) override {
        return Call(kControl, "Reserved7", {Variant::FromI4(a)});
    }
    HRESULT Start() override { return Call(kControl, "Start", {}); }
    HRESULT Stop() override { return Call(kControl, "Stop", {}); }

    const std::string& ServerName() const { return m_channel->ServerName(); }

private:
    ~FyBootpProxy() override = default;

    HRESULT CallMember(std::size_t vtableIndex, std::span<Variant> args, Variant* result) override {
        return FyBootpCallTable().Call(*this, vtableIndex, args, result);
    }

    HRESULT LoadTypeInfo() {
        const std::lock_guard guard(m_typeInfoLock);
        if (m_typeInfo) return S_OK;
        ComPtr<ITypeLib> library;
        HRESULT hr = LoadTypeLibFromText(FyBootpTypeLibraryText(), library.Receive());
        if (Succeeded(hr))
            hr = library->GetTypeInfoOfGuid(IID_IFyBootpServer, m_typeInfo.Receive());
        return hr;
    }

    HRESULT Call(const std::string& interface, const char* member,
                 std::initializer_list<Variant> args) {
        return Guarded([&] {
            const std::vector<Variant> values(args);
            return m_channel->Call(interface, member, values, VT_EMPTY, nullptr);
        });
    }
    HRESULT Call4(const char* member, std::int32_t a, std::int32_t b, std::int32_t c,
                  std::int32_t d) {
        return Call(
            kControl, member,
            {Variant::FromI4(a), Variant::FromI4(b), Variant::FromI4(c), Variant::FromI4(d)});
    }

    // A null BSTR travels as ""; "" comes back as null, as the server hands
    // out an empty text.
    HRESULT GetText(const char* name, BSTR* pVal) {
        if (pVal == nullptr) return E_POINTER;
        *pVal = nullptr;
        return Guarded([&] {
            Variant value;
            const HRESULT hr = m_channel->GetProperty(kServer, name, VT_BSTR, &value);
            if (Failed(hr) || value.Text().empty()) return hr;
            *pVal = SysAllocString(value.Text());
            return *pVal != nullptr ? hr : E_OUTOFMEMORY;
        });
    }
    HRESULT GetLong(const char* name, std::int32_t* pVal) {
        if (pVal == nullptr) return E_POINTER;
        return Guarded([&] {
            Variant value;
            const HRESULT hr = m_channel->GetProperty(kServer, name, VT_I4, &value);
            if (Succeeded(hr)) *pVal = value.I4();
            return hr;
        });
    }
    HRESULT PutText(const char* name, BSTR newVal) {
        return Guarded(
            [&] { return m_channel->SetProperty(kServer, name, Variant::FromBstr(newVal)); });
    }
    HRESULT PutLong(const char* name, std::int32_t newVal) {
        return Guarded(
            [&] { return m_channel->SetProperty(kServer, name, Variant::FromI4(newVal)); });
    }

    std::unique_ptr<bus::BusChannel> m_channel;
    std::atomic<ULONG> m_references{1};
    std::mutex m_typeInfoLock;
    ComPtr<ITypeInfo> m_typeInfo;
};

HRESULT CreateProxy(std::unique_ptr<bus::BusChannel> channel, const IID& iid, void** object) {
    auto* proxy = new FyBootpProxy(std::move(channel));
    const HRESULT hr = proxy->QueryInterface(iid, object);
    proxy->Release();
    return hr;
}

}  // namespace

void RegisterFyBootpProxy() {
    bus::RegisterProxyClass({CLSID_FyBootpServer, kBusName, kClassObjectPath, &CreateProxy});
}

std::string ServerNameOf(IFyBootpServer* object) {
    const auto* proxy = dynamic_cast<const FyBootpProxy*>(object);
    return proxy != nullptr ? proxy->ServerName() : std::string();
}

}  // namespace fybootp::host
