#include "automation/fybootp_object.h"

#include <new>
#include <string>
#include <utility>

#include "automation/fybootp_ids.h"
#include "automation/host_info_exchange.h"
#include "automation/log_reporting.h"
#include "automation/node_editing.h"
#include "document/node_table_exchange.h"
#include "platform/com/guarded.h"

namespace fybootp {
namespace {

// The members of IFyBootpServer in vtable order, for calls that arrive by
// DISPID or from a transport.
constexpr auto kCalls =
    MakeMemberCallTable<&IFyBootpServer::get_BootpInfosXml, &IFyBootpServer::put_BootpInfosXml,
                        &IFyBootpServer::get_LogChangeCnt, &IFyBootpServer::get_NewMacCnt,
                        &IFyBootpServer::get_NewMacAddresses, &IFyBootpServer::get_LogEntries,
                        &IFyBootpServer::put_LogEntries, &IFyBootpServer::get_Started,
                        &IFyBootpServer::put_Started, &IFyBootpServer::get_HostInfoXml,
                        &IFyBootpServer::put_HostInfoXml, &IFyBootpServer::AddBootpInfo,
                        &IFyBootpServer::DeleteBootpInfo, &IFyBootpServer::get_DisableResponse,
                        &IFyBootpServer::put_DisableResponse>();

// Runs a get that produces text and hands the text out as a new BSTR owned
// by the caller; an empty text is a null BSTR.
template <class Get>
HRESULT TextOut(BSTR* pVal, Get&& get) noexcept {
    if (pVal == nullptr) return E_POINTER;
    *pVal = nullptr;
    return Guarded([&] {
        std::string text;
        const HRESULT hr = get(&text);
        if (Failed(hr) || text.empty()) return hr;
        *pVal = SysAllocStringTaking(std::move(text));
        return *pVal != nullptr ? hr : E_OUTOFMEMORY;
    });
}

}  // namespace

FyBootpObject::FyBootpObject(const Services& services)
    : m_lock(services.lock), m_typeInfo(services.typeInfo), m_documents(services.documents) {}

FyBootpObject::~FyBootpObject() {
    // The server state goes first: it stops a running responder and drops
    // its own reference through this object.
    m_server.reset();
}

void FyBootpObject::OwnReferenceImpl::AddRef() {
    void* unknown = nullptr;
    m_object.QueryInterface(IID_IUnknown, &unknown);
    m_held = static_cast<IUnknown*>(unknown);
}

void FyBootpObject::OwnReferenceImpl::Release() {
    if (IUnknown* held = std::exchange(m_held, nullptr)) held->Release();
}

HRESULT FyBootpObject::QueryInterface(const IID& iid, void** object) {
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

ULONG FyBootpObject::AddRef() { return static_cast<ULONG>(m_lock.AddLock()); }
ULONG FyBootpObject::Release() { return static_cast<ULONG>(m_lock.ReleaseLock()); }

HRESULT FyBootpObject::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT FyBootpObject::GetTypeInfo(UINT, LCID lcid, ITypeInfo** info) {
    // There is one type information: the index is not examined.
    return Guarded([&] { return m_typeInfo.Get(lcid, info); });
}

HRESULT FyBootpObject::GetIDsOfNames(const IID&, const OLECHAR* const* names, UINT count, LCID lcid,
                                     DISPID* ids) {
    return Guarded([&] {
        ComPtr<ITypeInfo> info;
        const HRESULT hr = m_typeInfo.Get(lcid, info.Receive());
        if (Failed(hr)) return hr;
        return info->GetIDsOfNames(names, count, ids);
    });
}

HRESULT FyBootpObject::Invoke(DISPID member, const IID&, LCID lcid, WORD flags, DISPPARAMS* params,
                              Variant* result, EXCEPINFO* exception, UINT* argErr) {
    return Guarded([&] {
        ComPtr<ITypeInfo> info;
        const HRESULT hr = m_typeInfo.Get(lcid, info.Receive());
        if (Failed(hr)) return hr;
        return info->Invoke(this, member, flags, params, result, exception, argErr);
    });
}

HRESULT FyBootpObject::CallMember(std::size_t vtableIndex, std::span<Variant> args,
                                  Variant* result) {
    return kCalls.Call(*this, vtableIndex, args, result);
}

HRESULT FyBootpObject::get_BootpInfosXml(BSTR* pVal) {
    return TextOut(pVal, [&](std::string* text) {
        return fybootp::get_BootpInfosXml(*m_server, text, m_documents);
    });
}

HRESULT FyBootpObject::put_BootpInfosXml(BSTR newVal) {
    return Guarded(
        [&] { return fybootp::put_BootpInfosXml(*m_server, BstrText(newVal), m_documents); });
}

HRESULT FyBootpObject::get_LogChangeCnt(std::int32_t* pVal) {
    return Guarded([&] { return m_server->get_LogChangeCnt(pVal); });
}

HRESULT FyBootpObject::get_NewMacCnt(std::int32_t* pVal) {
    return Guarded([&] { return m_server->get_NewMacCnt(pVal); });
}

HRESULT FyBootpObject::get_NewMacAddresses(BSTR* pVal) {
    return TextOut(pVal, [&](std::string* text) {
        return fybootp::get_NewMacAddresses(*m_server, text, m_documents);
    });
}

HRESULT FyBootpObject::get_LogEntries(BSTR* pVal) {
    return TextOut(pVal, [&](std::string* text) {
        return fybootp::get_LogEntries(*m_server, text, m_documents);
    });
}

HRESULT FyBootpObject::put_LogEntries(BSTR newVal) {
    return Guarded(
        [&] { return fybootp::put_LogEntries(*m_server, BstrText(newVal), m_documents); });
}

HRESULT FyBootpObject::get_Started(std::int32_t* pVal) {
    return Guarded([&] { return m_server->get_Started(pVal); });
}

HRESULT FyBootpObject::put_Started(std::int32_t newVal) {
    return Guarded([&] { return m_server->put_Started(newVal); });
}

HRESULT FyBootpObject::get_HostInfoXml(BSTR* pVal) {
    return TextOut(pVal, [&](std::string* text) {
        return fybootp::get_HostInfoXml(*m_server, text, m_documents);
    });
}

HRESULT FyBootpObject::put_HostInfoXml(BSTR newVal) {
    return Guarded(
        [&] { return fybootp::put_HostInfoXml(*m_server, BstrText(newVal), m_documents); });
}

HRESULT FyBootpObject::AddBootpInfo(BSTR macAddr, std::int32_t ipAddr) {
    return Guarded(
        [&] { return fybootp::AddBootpInfo(*m_server, BstrText(macAddr), ipAddr, m_documents); });
}

HRESULT FyBootpObject::DeleteBootpInfo(BSTR macAddr) {
    return Guarded(
        [&] { return fybootp::DeleteBootpInfo(*m_server, BstrText(macAddr), m_documents); });
}

HRESULT FyBootpObject::get_DisableResponse(std::int32_t* pVal) {
    return Guarded([&] { return m_server->get_DisableResponse(pVal); });
}

HRESULT FyBootpObject::put_DisableResponse(std::int32_t newVal) {
    return Guarded([&] { return m_server->put_DisableResponse(newVal); });
}

HRESULT FyBootpObject::Reserved1(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
    return S_OK;
}
HRESULT FyBootpObject::Reserved2(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
    return S_OK;
}
HRESULT FyBootpObject::Reserved3(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
    return S_OK;
}
HRESULT FyBootpObject::Reserved4(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
    return S_OK;
}
HRESULT FyBootpObject::Reserved5(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
    return S_OK;
}
HRESULT FyBootpObject::Reserved6(std::int32_t) { return S_OK; }
HRESULT FyBootpObject::Reserved7(std::int32_t) { return S_OK; }
HRESULT FyBootpObject::Start() { return put_Started(1); }
HRESULT FyBootpObject::Stop() { return put_Started(0); }

const MemberCallTable<IFyBootpServer, 15>& FyBootpCallTable() { return kCalls; }

}  // namespace fybootp
