#pragma once
// IDispatch: late binding by dispatch identifier, with its argument block
// and exception record.

#include "platform/com/bstr.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace fybootp {

class ITypeInfo;

constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
// The named argument that carries the value of a property put.
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

// The arguments of one Invoke. As COM passes them, rgvarg holds the named
// arguments first (in the order of rgdispidNamedArgs) and then the
// positional ones in reverse: the last argument at the lowest index and the
// first at rgvarg[cArgs - 1]. The caller owns the arguments.
struct DISPPARAMS {
    Variant* rgvarg = nullptr;
    DISPID* rgdispidNamedArgs = nullptr;
    UINT cArgs = 0;
    UINT cNamedArgs = 0;
};

// Filled when Invoke returns DISP_E_EXCEPTION; scode is the status the
// member failed with. The texts belong to whoever holds the record.
struct EXCEPINFO {
    WORD wCode = 0;
    WORD wReserved = 0;
    Bstr bstrSource;
    Bstr bstrDescription;
    Bstr bstrHelpFile;
    DWORD dwHelpContext = 0;
    HRESULT scode = S_OK;
};

class IDispatch : public IUnknown {
public:
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    // names[0] is a member, names[1..] its parameters; ids receives count DISPIDs.
    virtual HRESULT GetIDsOfNames(const IID& iid, const OLECHAR* const* names, UINT count,
                                  LCID lcid, DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID member, const IID& iid, LCID lcid, WORD flags, DISPPARAMS* params,
                           Variant* result, EXCEPINFO* exception, UINT* argErr) = 0;
};

}  // namespace fybootp
