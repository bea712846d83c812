// DllRegisterServer and DllUnregisterServer of the default ProjectDocument
// component: HKCR\CLSID\{40BBCC54-...}\InprocServer32 names this library.

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "components/project_document/project_document.h"
#include "platform/registry/registry.h"

namespace {

using namespace fybootp;

// The registry below FYBOOTP_ROOT, as the server process finds it.
std::string RegistryRoot() {
    if (const char* root = std::getenv("FYBOOTP_REGISTRY_ROOT"); root != nullptr && *root != '\0') {
        return root;
    }
    std::string root = "/";
    if (const char* set = std::getenv("FYBOOTP_ROOT"); set != nullptr && *set != '\0') root = set;
    if (root.back() != '/') root += '/';
    return root + "var/lib/fybootp/registry";
}

// realpath(3) of the path, or empty.
std::string CanonicalPath(const char* path) {
    char* resolved = ::realpath(path, nullptr);
    if (resolved == nullptr) return {};
    std::string canonical = resolved;
    std::free(resolved);
    return canonical;
}

std::string ClassKey() { return "CLSID\\" + GuidToString(CLSID_ProjectDocument); }

HRESULT StatusOf(registry::LONG status) {
    return HresultFromWin32(static_cast<std::uint32_t>(status));
}

}  // namespace

extern "C" [[gnu::visibility("default")]] fybootp::HRESULT DllRegisterServer() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&DllRegisterServer), &self) == 0 ||
        self.dli_fname == nullptr) {
        return E_UNEXPECTED;
    }
    // dli_fname is the path the library was loaded by, which may be
    // relative to a working directory that the server never shares.
    const std::string library = CanonicalPath(self.dli_fname);
    if (library.empty()) return E_UNEXPECTED;
    registry::Registry registry(RegistryRoot());
    registry::HKEY key{};
    registry::LONG status = registry.CreateKey(registry::HKEY_CLASSES_ROOT, ClassKey(), &key);
    if (status == registry::ERROR_SUCCESS) status = registry.SetString(key, "", "ProjectDocument");
    if (status == registry::ERROR_SUCCESS) registry.CloseKey(key);
    if (status == registry::ERROR_SUCCESS) {
        status =
            registry.CreateKey(registry::HKEY_CLASSES_ROOT, ClassKey() + "\\InprocServer32", &key);
    }
    if (status == registry::ERROR_SUCCESS) {
        status = registry.SetString(key, "", library);
        registry.CloseKey(key);
    }
    return StatusOf(status);
}

extern "C" [[gnu::visibility("default")]] fybootp::HRESULT DllUnregisterServer() {
    registry::Registry registry(RegistryRoot());
    const registry::LONG status = registry.DeleteTree(registry::HKEY_CLASSES_ROOT, ClassKey());
    return status == registry::ERROR_FILE_NOT_FOUND ? S_OK : StatusOf(status);
}
