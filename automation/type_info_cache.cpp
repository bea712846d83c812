#include "automation/type_info_cache.h"

#include "automation/fybootp_ids.h"
#include "platform/com/type_lib_registration.h"

namespace fybootp {

HRESULT TypeInfoCache::Get(LCID lcid, ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    std::lock_guard lock(m_mutex);
    if (!m_info) {
        ComPtr<ITypeLib> library;
        HRESULT hr = LoadRegTypeLib(m_registry, LIBID_FYBOOTPLib, kTypeLibMajor, kTypeLibMinor,
                                    lcid, library.Receive());
        if (Failed(hr)) return hr;
        // The library itself is let go at once; the type information keeps
        // what it needs of it alive.
        hr = library->GetTypeInfoOfGuid(IID_IFyBootpServer, m_info.Receive());
        if (Failed(hr)) return hr;
    }
    m_info->AddRef();
    *info = m_info.Get();
    return S_OK;
}

}  // namespace fybootp
