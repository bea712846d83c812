#include "host/registration/project_registration.h"

#include <array>

#include "components/project_document/project_document.h"
#include "host/registration/system_files.h"
#include "host/system_paths.h"
#include "platform/com/inproc_server.h"
#include "platform/registry/registry.h"

namespace fybootp::host {
namespace {

constexpr char kProductKey[] = "SOFTWARE\\Quellmar\\Ferrowy";
constexpr char kCurrentProject[] = "CurrentProject";

constexpr DWORD kProjectMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr char kInitialText[] = "default";

// Step 11: the entry named after the service, opened or made, gets the
// class identifier. The status of the last call made is the result.
HRESULT EnterServer(IProjectDocument* document, BSTR name, const GUID& clsid) {
    IProjectEntry* entry = nullptr;
    HRESULT hr = document->OpenServerEntry(name, &entry);
    if (hr == STG_E_FILENOTFOUND) {
        if (entry != nullptr) entry->Release();
        entry = nullptr;
        hr = document->CreateServerEntry(name, &entry);
    }
    if (Succeeded(hr) && entry == nullptr) hr = E_POINTER;
    if (Succeeded(hr)) hr = entry->SetClassId(&clsid);
    if (entry != nullptr) entry->Release();
    return hr;
}

// Steps 7 to 12 with the document in hand.
HRESULT UpdateProject(IProjectDocument* document, const std::string& path, const std::string& name,
                      bool doRegister, const GUID& clsid) {
    IStorage* storage = nullptr;
    HRESULT hr = StgOpenStorage(path, nullptr, kProjectMode, nullptr, 0, &storage);
    if (doRegister && hr == STG_E_FILENOTFOUND) {
        hr = StgCreateDocfile(path, kProjectMode, 0, &storage);
        if (Succeeded(hr)) hr = document->CreateInStorage(storage);
        if (Succeeded(hr)) {
            BSTR text = SysAllocString(kInitialText);
            hr = text == nullptr ? E_OUTOFMEMORY : document->SetInitialText(text);
            SysFreeString(text);
        }
    }
    if (Succeeded(hr)) hr = document->LoadFromStorage(storage);
    if (Succeeded(hr)) {
        BSTR entryName = SysAllocString(name);
        if (entryName == nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            hr = doRegister ? EnterServer(document, entryName, clsid)
                            : document->DeleteServerEntry(entryName);
        }
        SysFreeString(entryName);
    }
    if (storage != nullptr) storage->Release();
    return hr;
}

// Steps 5 to 13 once the project path is known.
long UpdateWithComponent(registry::Registry& registry, const std::string& projectPath,
                         const std::string& name, bool doRegister, const GUID& clsid) {
    void* raw = nullptr;
    fs::Distrust refused;
    HRESULT hr = CoCreateInprocInstance(registry, CLSID_ProjectDocument, nullptr, IID_IUnknown,
                                        &raw, &refused);
    if (hr == E_ACCESSDENIED && !refused.path.empty()) {
        ShowMessage(name, "Refusing to load " + fs::DistrustText(refused));
    }
    if (Failed(hr)) return hr;
    auto* component = static_cast<IUnknown*>(raw);
    hr = OleRun(component);
    IProjectDocument* document = nullptr;
    if (Succeeded(hr)) hr = QueryInterfaceAs(component, IID_IProjectDocument, &document);
    if (Succeeded(hr) && document == nullptr) hr = E_POINTER;
    if (Succeeded(hr)) hr = UpdateProject(document, projectPath, name, doRegister, clsid);
    if (document != nullptr) document->Release();
    component->Release();
    return hr;
}

}  // namespace

long UpdateProjectEntry(ServiceHost& host, bool doRegister, const GUID& clsid) {
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
    const long result =
        UpdateWithComponent(registry, path.data(), host.m_serviceName.data(), doRegister, clsid);
    registry.CloseKey(product);
    return result;
}

}  // namespace fybootp::host
