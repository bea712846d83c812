#pragma once
// The type information of IFyBootpServer, which IDispatch is served from.
// Loaded from the registered type library on first need, under a lock so
// that it happens once, and kept for the life of the process. A failed load
// is not remembered: the next call tries again, so registering the library
// while the server runs is enough.

#include <mutex>

#include "platform/com/com_ptr.h"
#include "platform/com/type_info.h"
#include "platform/registry/registry.h"

namespace fybootp {

class TypeInfoCache {
public:
    explicit TypeInfoCache(registry::Registry& registry) : m_registry(registry) {}

    // S_OK and a new reference in *info, or the load's status and null.
    HRESULT Get(LCID lcid, ITypeInfo** info);

private:
    std::mutex m_mutex;
    registry::Registry& m_registry;
    ComPtr<ITypeInfo> m_info;
};

}  // namespace fybootp
