#pragma once
// The two interfaces of the server object. Their operations stand in the
// order of the interface table, which fixes each one's vtable index and
// must agree with the type library member by member.

#include <cstdint>

#include "platform/com/bstr.h"
#include "platform/com/dispatch.h"

namespace fybootp {

// Dual: vtable binding, and IDispatch for late-bound clients. Integers are
// 32-bit; an ipAddr is an IPv4 address in network byte order.
class IFyBootpServer : public IDispatch {
public:
    virtual HRESULT get_BootpInfosXml(BSTR* pVal) = 0;
    virtual HRESULT put_BootpInfosXml(BSTR newVal) = 0;
    virtual HRESULT get_LogChangeCnt(std::int32_t* pVal) = 0;
    virtual HRESULT get_NewMacCnt(std::int32_t* pVal) = 0;
    virtual HRESULT get_NewMacAddresses(BSTR* pVal) = 0;
    virtual HRESULT get_LogEntries(BSTR* pVal) = 0;
    virtual HRESULT put_LogEntries(BSTR newVal) = 0;
    virtual HRESULT get_Started(std::int32_t* pVal) = 0;
    virtual HRESULT put_Started(std::int32_t newVal) = 0;
    virtual HRESULT get_HostInfoXml(BSTR* pVal) = 0;
    virtual HRESULT put_HostInfoXml(BSTR newVal) = 0;
    virtual HRESULT AddBootpInfo(BSTR macAddr, std::int32_t ipAddr) = 0;
    virtual HRESULT DeleteBootpInfo(BSTR macAddr) = 0;
    virtual HRESULT get_DisableResponse(std::int32_t* pVal) = 0;
    virtual HRESULT put_DisableResponse(std::int32_t newVal) = 0;
};

// For outside callers: start and stop; the other seven accept their
// arguments and do nothing.
class IFyServerControl : public IUnknown {
public:
    virtual HRESULT Reserved1(std::int32_t, std::int32_t, std::int32_t, std::int32_t) = 0;
    virtual HRESULT Reserved2(std::int32_t, std::int32_t, std::int32_t, std::int32_t) = 0;
    virtual HRESULT Reserved3(std::int32_t, std::int32_t, std::int32_t, std::int32_t) = 0;
    virtual HRESULT Reserved4(std::int32_t, std::int32_t, std::int32_t, std::int32_t) = 0;
    virtual HRESULT Reserved5(std::int32_t, std::int32_t, std::int32_t, std::int32_t) = 0;
    virtual HRESULT Reserved6(std::int32_t) = 0;
    virtual HRESULT Reserved7(std::int32_t) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Stop() = 0;
};

}  // namespace fybootp
