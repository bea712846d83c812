#pragma once
// The server object as clients see it: IFyBootpServer (dual) and
// IFyServerControl over the one FyBootpServer of the process. References do
// not count for the object: AddRef and Release raise and lower the module's
// lock count, and the object lives until its class object lets it go.

#include <memory>

#include "automation/fybootp_interfaces.h"
#include "automation/type_info_cache.h"
#include "core/fy_bootp_server.h"
#include "document/dom_routines.h"
#include "platform/com/dispatch_target.h"
#include "platform/com/member_call_table.h"
#include "platform/com/module_lock.h"

namespace fybootp {

class FyBootpObject final : public IFyBootpServer, public IFyServerControl, private DispatchTarget {
public:
    struct Services {
        ModuleLock& lock;
        TypeInfoCache& typeInfo;
        const DocumentFactory& documents;
    };

    explicit FyBootpObject(const Services& services);
    ~FyBootpObject() override;
    FyBootpObject(const FyBootpObject&) = delete;
    FyBootpObject& operator=(const FyBootpObject&) = delete;

    // The counted reference the server holds on itself while the responder
    // runs; pass it in the server's configuration.
    SelfReference& OwnReference() { return m_ownReference; }
    // Takes the server state, built with OwnReference as its self reference.
    void Attach(std::unique_ptr<FyBootpServer> server) { m_server = std::move(server); }
    FyBootpServer& Server() { return *m_server; }

    // IUnknown, shared by both interfaces.
    HRESULT QueryInterface(const IID& iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IDispatch, served from the registered type library.
    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(const IID& iid, const OLECHAR* const* names, UINT count, LCID lcid,
                          DISPID* ids) override;
    HRESULT Invoke(DISPID member, const IID& iid, LCID lcid, WORD flags, DISPPARAMS* params,
                   Variant* result, EXCEPINFO* exception, UINT* argErr) override;

    // IFyBootpServer.
    HRESULT get_BootpInfosXml(BSTR* pVal) override;
    HRESULT put_BootpInfosXml(BSTR newVal) override;
    HRESULT get_LogChangeCnt(std::int32_t* pVal) override;
    HRESULT get_NewMacCnt(std::int32_t* pVal) override;
    HRESULT get_NewMacAddresses(BSTR* pVal) override;
    HRESULT get_LogEntries(BSTR* pVal) override;
    HRESULT put_LogEntries(BSTR newVal) override;
    HRESULT get_Started(std::int32_t* pVal) override;
    HRESULT put_Started(std::int32_t newVal) override;
    HRESULT get_HostInfoXml(BSTR* pVal) override;
    HRESULT put_HostInfoXml(BSTR newVal) override;
    HRESULT AddBootpInfo(BSTR macAddr, std::int32_t ipAddr) override;
    HRESULT DeleteBootpInfo(BSTR macAddr) override;
    HRESULT get_DisableResponse(std::int32_t* pVal) override;
    HRESULT put_DisableResponse(std::int32_t newVal) override;

    // IFyServerControl.
    HRESULT Reserved1(std::int32_t, std::int32_t, std::int32_t, std::int32_t) override;
    HRESULT Reserved2(std::int32_t, std::int32_t, std::int32_t, std::int32_t) override;
    HRESULT Reserved3(std::int32_t, std::int32_t, std::int32_t, std::int32_t) override;
    HRESULT Reserved4(std::int32_t, std::int32_t, std::int32_t, std::int32_t) override;
    HRESULT Reserved5(std::int32_t, std::int32_t, std::int32_t, std::int32_t) override;
    HRESULT Reserved6(std::int32_t) override;
    HRESULT Reserved7(std::int32_t) override;
    HRESULT Start() override;
    HRESULT Stop() override;

private:
    HRESULT CallMember(std::size_t vtableIndex, std::span<Variant> args, Variant* result) override;

    class OwnReferenceImpl final : public SelfReference {
    public:
        explicit OwnReferenceImpl(FyBootpObject& object) : m_object(object) {}
        void AddRef() override;
        void Release() override;

    private:
        FyBootpObject& m_object;
        IUnknown* m_held = nullptr;
    };

    ModuleLock& m_lock;
    TypeInfoCache& m_typeInfo;
    const DocumentFactory& m_documents;
    OwnReferenceImpl m_ownReference{*this};
    std::unique_ptr<FyBootpServer> m_server;
};

// The call table through which dispatch reaches the members, in vtable
// order; its signatures must agree with the type library's.
const MemberCallTable<IFyBootpServer, 15>& FyBootpCallTable();

}  // namespace fybootp
