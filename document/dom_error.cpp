#include "document/dom_error.h"

#include <cerrno>

namespace fybootp {

const char* DomError::what() const noexcept { return "XML document operation failed"; }

void CheckSucceeded(long result, HRESULT failure) {
    if (result < 0) throw DomError(failure);
}

HRESULT HresultFromErrno(int error) {
    // The Win32 codes of the same conditions, so that a client sees the
    // status it would see from the original server.
    constexpr std::uint32_t kErrorPathNotFound = 3;
    constexpr std::uint32_t kErrorDiskFull = 112;
    switch (error) {
        case 0:
            return S_OK;
        case EACCES:
        case EPERM:
        case EROFS:
            return E_ACCESSDENIED;
        case ENOSPC:
        case EDQUOT:
            return HresultFromWin32(kErrorDiskFull);
        case ENOENT:
        case ENOTDIR:
            return HresultFromWin32(kErrorPathNotFound);
        case ENOMEM:
            return E_OUTOFMEMORY;
        default:
            return E_FAIL;
    }
}

}  // namespace fybootp
