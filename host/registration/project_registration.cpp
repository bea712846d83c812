#include "host/registration/project_registration.h"

#include <array>

#include "host/system_paths.h"
#include "platform/com/inproc_server.h"
#include "platform/registry/registry.h"

namespace fybootp::host {
namespace {

constexpr char kProductKey[] = "SOFTWARE\\Quellmar\\Ferrowy";
constexpr char kCurrentProject[] = "CurrentProject";

// The compound-file layer that opens the project is not built; this is the
// status of its first step until it is.
HRESULT OpenProjectStorage(const std::string&) { return E_NOTIMPL; }

// Steps 5 to 12 once the project path is known.
long UpdateWithComponent(registry::Registry& registry, const std::string& projectPath) {
    void* raw = nullptr;
    HRESULT hr =
        CoCreateInprocInstance(registry, CLSID_ProjectDocument, nullptr, IID_IUnknown, &raw);
    if (Failed(hr)) return hr;
    auto* component = static_cast<IUnknown*>(raw);
    hr = OleRun(component);
    IUnknown* document = nullptr;
    if (Succeeded(hr)) hr = QueryInterfaceAs(component, IID_IProjectDocument, &document);
    if (Succeeded(hr) && document == nullptr) hr = E_POINTER;
    if (Succeeded(hr)) hr = OpenProjectStorage(projectPath);
    if (document != nullptr) document->Release();
    component->Release();
    return hr;
}

}  // namespace

long UpdateProjectEntry(ServiceHost&, bool doRegister, const GUID& clsid) {
    if (doRegister && clsid == IID_NULL) return E_INVALIDARG;
    registry::Registry registry(RegistryRoot());
    registry::HKEY product{};
    registry::LONG status = registry.OpenKey(registry::HKEY_LOCAL_MACHINE, kProductKey, &product);
    if (status != registry::ERROR_SUCCESS) return status;
    std::array<char, kProjectPathBuffer> path{};
    DWORD size = static_cast<DWORD>(path.size());
    // The value's type is not looked at.
    status = registry.QueryValue(product, kCurrentProject, nullptr, path.data(), &size);
    if (status != registry::ERROR_SUCCESS) {
        registry.CloseKey(product);
        return status;
    }
    // CoInitialize has no counterpart: in-process creation needs none.
    const long result = UpdateWithComponent(registry, path.data());
    registry.CloseKey(product);
    return result;
}

}  // namespace fybootp::host
