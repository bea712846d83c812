#pragma once
// ITypeLib and ITypeInfo: a loaded type library and the type information of
// one of its types. Only the operations that serving IDispatch and
// registering a library need are here, in COM's relative order; the
// descriptions they hand out are the library's own immutable records
// (type_library.h), valid while a reference to the library or one of its
// type informations is held, so they need no Release of their own.

#include "platform/com/dispatch.h"
#include "platform/com/dispatch_target.h"
#include "platform/com/type_library.h"
#include "platform/com/unknown.h"

namespace fybootp {

class ITypeLib;

class ITypeInfo : public IUnknown {
public:
    virtual HRESULT GetTypeAttr(const TypeDesc** attr) = 0;
    // An interface's index-th own member in vtable order;
    // TYPE_E_ELEMENTNOTFOUND past the last.
    virtual HRESULT GetFuncDesc(UINT index, const MemberDesc** desc) = 0;
    // As dispatch_invoke.h describes.
    virtual HRESULT GetIDsOfNames(const OLECHAR* const* names, UINT count, MEMBERID* ids) = 0;
    // instance is the object whose interface this type information
    // describes; the member is called through its call table.
    virtual HRESULT Invoke(DispatchTarget* instance, MEMBERID member, WORD flags,
                           DISPPARAMS* params, Variant* result, EXCEPINFO* exception,
                           UINT* argErr) = 0;
    // MEMBERID_NIL documents the type itself. Each out-parameter may be null;
    // texts handed out belong to the caller. No help file exists: *helpFile
    // is null and *helpContext 0.
    virtual HRESULT GetDocumentation(MEMBERID member, BSTR* name, BSTR* docString,
                                     DWORD* helpContext, BSTR* helpFile) = 0;
    virtual HRESULT GetContainingTypeLib(ITypeLib** library, UINT* index) = 0;
};

class ITypeLib : public IUnknown {
public:
    virtual UINT GetTypeInfoCount() = 0;
    virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** info) = 0;
    virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) = 0;
    virtual HRESULT GetTypeInfoOfGuid(const GUID& guid, ITypeInfo** info) = 0;
    // The library's attributes (name, LIBID, version, LCID, system kind,
    // flags, help string) and all its types.
    virtual HRESULT GetLibAttr(const TypeLibraryDesc** attr) = 0;
    // index -1 documents the library itself.
    virtual HRESULT GetDocumentation(INT index, BSTR* name, BSTR* docString, DWORD* helpContext,
                                     BSTR* helpFile) = 0;
};

}  // namespace fybootp
