#include "host/registration/script_resource.h"

#include <unistd.h>

#include <cerrno>

#include "platform/com/elf_section.h"

namespace fybootp::host {

bool RegistryScriptsBuiltIn();

namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorBadExeFormat = 193;
constexpr std::uint32_t kErrorReadFault = 30;

std::uint32_t Win32ErrorOf(int error) {
    switch (error) {
        case ENOENT:
            return kErrorResourceNameNotFound;
        case ENOEXEC:
            return kErrorBadExeFormat;
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
        case ENOTDIR:
            return kErrorFileNotFound;
        default:
            return kErrorReadFault;
    }
}

}  // namespace

HRESULT LoadRegistryScriptResource(const std::string& modulePath, int id, std::string* text) {
    text->clear();
    static_cast<void>(RegistryScriptsBuiltIn());
    if (!IsElfFile(modulePath)) {
        return HresultFromWin32(access(modulePath.c_str(), F_OK) == 0 ? kErrorBadExeFormat
                                                                      : kErrorFileNotFound);
    }
    const int error = ReadElfSection(modulePath, ".fyb_registry_" + std::to_string(id), text);
    if (error != 0) return HresultFromWin32(Win32ErrorOf(error));
    const std::size_t end = text->find('\0');
    if (end != std::string::npos) text->resize(end);
    return S_OK;
}

}  // namespace fybootp::host
