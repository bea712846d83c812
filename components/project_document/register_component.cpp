// fybootp-regcomponent [-u] LIBRARY: calls DllRegisterServer (or, with -u,
// DllUnregisterServer) of a component library, as regsvr32 does. The exit
// code is 0 on success, 1 otherwise; the status is written on standard
// error when it is not S_OK.

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "platform/com/hresult.h"
#include "platform/com/hresult_name.h"

int main(int argc, char** argv) {
    using namespace fybootp;
    const bool remove = argc == 3 && std::strcmp(argv[1], "-u") == 0;
    if (argc != 2 && !remove) {
        std::fprintf(stderr, "usage: %s [-u] LIBRARY\n", argv[0]);
        return 2;
    }
    const char* library = argv[argc - 1];
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
    if (hr != S_OK) {
        const std::string_view name = HresultName(hr);
        std::fprintf(stderr, "%s: %s: 0x%08X (%.*s)\n", argv[0], entry, static_cast<unsigned>(hr),
                     static_cast<int>(name.size()), name.data());
    }
    return Succeeded(hr) ? 0 : 1;
}
