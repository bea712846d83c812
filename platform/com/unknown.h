#pragma once
// IUnknown: identity and lifetime of every COM object.
//
// The interfaces here are C++ abstract classes whose operations stand in
// COM's order, so that an operation's place in its interface's table of
// operations (its vtable index) is the same as on Windows: IUnknown's
// three come first, then IDispatch's four, then the interface's own.

#include "platform/com/com_types.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"

namespace fybootp {

class IUnknown {
public:
    // S_OK and an added reference in *object, or E_NOINTERFACE and null;
    // E_POINTER without a destination.
    virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    // Objects end through Release, never through delete on an interface.
    virtual ~IUnknown() = default;
};

// QueryInterface into a typed pointer without casting T** to void**.
template <class T>
HRESULT QueryInterfaceAs(IUnknown* object, const IID& iid, T** out) {
    if (out == nullptr) return E_POINTER;
    void* raw = nullptr;
    const HRESULT hr = object->QueryInterface(iid, &raw);
    *out = static_cast<T*>(raw);
    return hr;
}

}  // namespace fybootp
