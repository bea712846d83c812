// fybootp-regcomponent [-u] LIBRARY: calls DllRegisterServer (or, with -u,
// DllUnregisterServer) of a component library, as regsvr32 does. The exit
// code is 0 on success, 1 otherwise; the status is written on standard
// error when it is not S_OK.
//
// The library is loaded as root and the path it registers is loaded as
// root by every later project registration, so it must be trusted
// (fs::FindDistrust) and is loaded by its resolved path: the component
// then records that absolute path, never the text it was given.

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/com/hresult.h"
#include "platform/com/hresult_name.h"
#include "platform/fs/trusted_path.h"

namespace {

void PrintStatus(const char* program, const char* what, fybootp::HRESULT hr) {
    const std::string_view name = fybootp::HresultName(hr);
    std::fprintf(stderr, "%s: %s: 0x%08X (%.*s)\n", program, what, static_cast<unsigned>(hr),
                 static_cast<int>(name.size()), name.data());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace fybootp;
    const bool remove = argc == 3 && std::strcmp(argv[1], "-u") == 0;
    if (argc != 2 && !remove) {
        std::fprintf(stderr, "usage: %s [-u] LIBRARY\n", argv[0]);
        return 2;
    }
    const char* named = argv[argc - 1];
    if (::access(named, F_OK) != 0) {
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], named, std::strerror(errno));
        return 1;
    }
    std::string resolved;
    if (const auto distrust = fs::FindDistrust(named, &resolved)) {
        std::fprintf(stderr, "%s: Refusing to load %s\n", argv[0],
                     fs::DistrustText(*distrust).c_str());
        PrintStatus(argv[0], named, E_ACCESSDENIED);
        return 1;
    }
    const char* library = resolved.c_str();
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "%s: %s\n", argv[0], dlerror());
        return 1;
    }
    const char* entry = remove ? "DllUnregisterServer" : "DllRegisterServer";
    const auto call = reinterpret_cast<HRESULT (*)()>(dlsym(handle, entry));
    if (call == nullptr) {
        std::fprintf(stderr, "%s: %s has no %s\n", argv[0], library, entry);
        return 1;
    }
    const HRESULT hr = call();
    if (hr != S_OK) PrintStatus(argv[0], entry, hr);
    return Succeeded(hr) ? 0 : 1;
}
