#pragma once
// IClassFactory: the class object through which clients create instances.

#include "platform/com/unknown.h"

namespace fybootp {

class IClassFactory : public IUnknown {
public:
    // outer is the controlling IUnknown when aggregation is asked for.
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
    // true locks the server in memory, false releases such a lock.
    virtual HRESULT LockServer(bool lock) = 0;
};

}  // namespace fybootp
