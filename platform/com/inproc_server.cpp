#include "platform/com/inproc_server.h"

#include <dlfcn.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

namespace fybootp {
namespace {

constexpr std::uint32_t kErrorModNotFound = 126;
constexpr std::uint32_t kErrorProcNotFound = 127;
constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9u);

HRESULT LibraryOf(registry::Registry& registry, const GUID& clsid, std::string* path) {
    registry::HKEY key{};
    const std::string name = "CLSID\\" + GuidToString(clsid) + "\\InprocServer32";
    if (registry.OpenKey(registry::HKEY_CLASSES_ROOT, name, &key) != registry::ERROR_SUCCESS) {
        return REGDB_E_CLASSNOTREG;
    }
    const registry::LONG status = registry.QueryString(key, "", path);
    registry.CloseKey(key);
    return status == registry::ERROR_SUCCESS && !path->empty() ? S_OK : REGDB_E_CLASSNOTREG;
}

// The library to load: the registry's path resolved, once it is trusted.
// A relative path would be taken against whatever directory we happen to
// run in (or, without a slash, searched for by the loader), so only an
// absolute one is looked at.
HRESULT TrustedLibrary(const std::string& path, std::string* resolved, fs::Distrust* refused) {
    std::optional<fs::Distrust> distrust;
    if (path.front() != '/') {
        distrust = fs::Distrust{path, path, "is not an absolute path"};
    } else if (::access(path.c_str(), F_OK) != 0) {
        return HresultFromWin32(kErrorModNotFound);
    } else {
        distrust = fs::FindDistrust(path, resolved);
    }
    if (!distrust) return S_OK;
    if (refused != nullptr) *refused = std::move(*distrust);
    return E_ACCESSDENIED;
}

}  // namespace

HRESULT CoCreateInprocInstance(registry::Registry& registry, const GUID& clsid, IUnknown* outer,
                               const IID& iid, void** object, fs::Distrust* refused) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    std::string path;
    if (const HRESULT hr = LibraryOf(registry, clsid, &path); Failed(hr)) return hr;
    std::string resolved;
    if (const HRESULT hr = TrustedLibrary(path, &resolved, refused); Failed(hr)) return hr;
    // Never closed: objects and class objects of the library may outlive
    // any count we could keep of them.
    void* library = ::dlopen(resolved.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return CO_E_ERRORINDLL;
    const auto getClassObject =
        reinterpret_cast<DllGetClassObjectFunction>(::dlsym(library, kDllGetClassObject));
    if (getClassObject == nullptr) return HresultFromWin32(kErrorProcNotFound);
    void* raw = nullptr;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, &raw);
    if (Failed(hr)) return hr;
    if (raw == nullptr) return E_POINTER;
    auto* factory = static_cast<IClassFactory*>(raw);
    hr = factory->CreateInstance(outer, iid, object);
    factory->Release();
    return hr;
}

HRESULT OleRun(IUnknown* object) {
    if (object == nullptr) return E_INVALIDARG;
    IRunnableObject* runnable = nullptr;
    if (Failed(QueryInterfaceAs(object, IID_IRunnableObject, &runnable)) || runnable == nullptr) {
        return S_OK;
    }
    const HRESULT hr = runnable->Run(nullptr);
    runnable->Release();
    return hr;
}

}  // namespace fybootp
