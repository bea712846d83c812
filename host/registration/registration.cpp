#include "host/registration/registration.h"

#include "automation/fybootp_ids.h"
#include "host/registration/project_registration.h"
#include "host/registration/registry_script.h"
#include "host/registration/script_resource.h"
#include "host/registration/service_control.h"
#include "host/registration/system_files.h"
#include "host/system_paths.h"
#include "platform/com/type_lib_registration.h"
#include "platform/fs/trusted_path.h"

namespace fybootp::host {
namespace {

using registry::ERROR_SUCCESS;

constexpr char kAppIdKey[] = "AppID";
constexpr char kLocalService[] = "LocalService";
constexpr char kServiceParameters[] = "ServiceParameters";
constexpr char kServiceSwitch[] = "-Service";
constexpr registry::LONG kErrorAccessDenied = 5;

std::string Caption(const ServiceHost& host) { return host.m_serviceName.data(); }

// GetShortPathNameA has nothing to give on Linux, so the long path is used;
// the script's quotes need each quote in it doubled.
std::string ModuleReplacement(const std::string& modulePath) {
    std::string doubled;
    for (const char c : modulePath) {
        doubled += c;
        if (c == '\'') doubled += '\'';
    }
    return doubled;
}

HRESULT LoadTypeLibBesideModule(const std::string& modulePath, ITypeLib** library,
                                std::string* loadedFrom) {
    *loadedFrom = modulePath;
    HRESULT hr = LoadTypeLib(modulePath, library);
    if (Succeeded(hr)) return hr;
    *loadedFrom = TypeLibFileBeside(modulePath);
    return LoadTypeLib(*loadedFrom, library);
}

// Step 4 of RegisterHost and what follows while the keys are open: the
// service values, the service, the classes.
long RegisterWithAppIdOpen(ServiceHost& host, registry::Registry& registry, registry::HKEY appId,
                           bool registerTypeLib, bool asService) {
    registry.DeleteValue(appId, kLocalService);  // a missing value is no error
    if (asService) {
        registry.SetString(appId, kLocalService, Caption(host));
        // Never deleted: a later registration as a local server keeps it.
        registry.SetString(appId, kServiceParameters, kServiceSwitch);
        InstallService(host);
    }
    HRESULT hr = RegisterClasses(host, registerTypeLib);
    if (Failed(hr)) return hr;
    // What makes LocalServer32 reachable on this system; without it the
    // class entries would name a server nobody can start, so they go too.
    const HRESULT files = InstallBusFiles(Caption(host), host.m_modulePath, asService);
    if (Failed(files)) {
        UnregisterClasses(host, registerTypeLib);
        return files;
    }
    return hr;
}

}  // namespace

std::string TypeLibFileBeside(const std::string& modulePath) {
    const std::size_t slash = modulePath.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = modulePath.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) return modulePath + ".tlb";
    return modulePath.substr(0, dot) + ".tlb";
}

std::string HelpDirectoryOf(const std::string& path) {
    const std::size_t cut = path.find_last_of("\\/:");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

HRESULT ApplyRegistryScript(ServiceHost& host, int id, bool doRegister) {
    const Replacements table{{"Module", ModuleReplacement(host.m_modulePath)}};
    std::string text;
    HRESULT hr = LoadRegistryScriptResource(host.m_modulePath, id, &text);
    if (Failed(hr)) return hr;
    std::string expanded;
    hr = ExpandReplacements(text, table, &expanded);
    if (Failed(hr)) return hr;
    RegistryScript script;
    hr = ReadRegistryScript(expanded, &script);
    if (Failed(hr)) return hr;
    registry::Registry registry(RegistryRoot());
    return doRegister ? RegisterScript(registry, script) : UnregisterScript(registry, script);
}

HRESULT UpdateFyBootpServerRegistry(ServiceHost& host, bool doRegister) {
    return ApplyRegistryScript(host, kClassScriptId, doRegister);
}

long CheckRegistrationTrust(ServiceHost& host) {
    std::string why;
    if (!RegistryIsPrivate(&why)) {
        // The status a registry that cannot be opened for writing gives.
        ShowMessage(Caption(host), why);
        return kErrorAccessDenied;
    }
    // The module becomes the Exec line of the activation file and the
    // unit's ExecStart, which run as root.
    std::string resolved;
    if (const auto distrust = fs::FindDistrust(host.m_modulePath, &resolved)) {
        ShowMessage(Caption(host), "Refusing to register " + fs::DistrustText(*distrust));
        return E_ACCESSDENIED;
    }
    return S_OK;
}

long RegisterHost(ServiceHost& host, bool registerTypeLib, bool asService) {
    // CoInitialize has no counterpart here: registration makes no calls
    // that need an apartment.
    if (const long refused = CheckRegistrationTrust(host); refused != S_OK) return refused;
    RemoveService(host);
    ApplyRegistryScript(host, kAppIdScriptId, true);  // its result is not used
    registry::Registry registry(RegistryRoot());
    registry::HKEY appIds{};
    registry::LONG status =
        registry.OpenKeyForWriting(registry::HKEY_CLASSES_ROOT, kAppIdKey, &appIds);
    if (status != ERROR_SUCCESS) return status;
    registry::HKEY appId{};
    status = registry.OpenKeyForWriting(appIds, GuidToString(APPID_FyBootp), &appId);
    if (status != ERROR_SUCCESS) {
        registry.CloseKey(appIds);
        return status;
    }
    const long result = RegisterWithAppIdOpen(host, registry, appId, registerTypeLib, asService);
    registry.CloseKey(appId);
    registry.CloseKey(appIds);
    return result;
}

long UnregisterHost(ServiceHost& host) {
    if (const long refused = CheckRegistrationTrust(host); refused != S_OK) return refused;
    ApplyRegistryScript(host, kAppIdScriptId, false);
    RemoveService(host);
    UnregisterClasses(host, true);
    RemoveBusFiles();
    return S_OK;
}

HRESULT RegisterClasses(ServiceHost& host, bool registerTypeLib) {
    for (ClassTableRow* row = host.m_classTable; row != nullptr && row->clsid != nullptr; ++row) {
        const HRESULT hr = row->updateRegistry(host, true);
        if (Failed(hr)) return hr;
    }
    return registerTypeLib ? RegisterTypeLibrary(host) : S_OK;
}

HRESULT UnregisterClasses(ServiceHost& host, bool unregisterTypeLib) {
    for (ClassTableRow* row = host.m_classTable; row != nullptr && row->clsid != nullptr; ++row) {
        row->updateRegistry(host, false);
    }
    if (unregisterTypeLib) UnregisterTypeLibrary(host);
    return S_OK;
}

HRESULT RegisterTypeLibrary(ServiceHost& host) {
    ITypeLib* library = nullptr;
    std::string loadedFrom;
    HRESULT hr = LoadTypeLibBesideModule(host.m_modulePath, &library, &loadedFrom);
    if (Failed(hr)) return hr;
    registry::Registry registry(RegistryRoot());
    hr = RegisterTypeLib(registry, library, loadedFrom, HelpDirectoryOf(loadedFrom));
    library->Release();
    return hr;
}

HRESULT UnregisterTypeLibrary(ServiceHost& host) {
    ITypeLib* library = nullptr;
    std::string loadedFrom;
    const HRESULT hr = LoadTypeLibBesideModule(host.m_modulePath, &library, &loadedFrom);
    if (Failed(hr)) return hr;
    const TypeLibraryDesc* attributes = nullptr;
    if (Succeeded(library->GetLibAttr(&attributes)) && attributes != nullptr) {
        registry::Registry registry(RegistryRoot());
        UnRegisterTypeLib(registry, attributes->libid, attributes->majorVersion,
                          attributes->minorVersion, attributes->lcid);
    }
    library->Release();
    return hr;
}

const RegistrationOps& SystemRegistrationOps() {
    static const RegistrationOps ops{&CheckRegistrationTrust, &UnregisterHost, &RegisterHost,
                                     &UpdateProjectEntry};
    return ops;
}

}  // namespace fybootp::host
