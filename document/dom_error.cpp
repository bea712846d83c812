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
    constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
    constexpr std::uint32_t kErrorDiskFull = 112;
    constexpr std::uint32_t kErrorFileTooLarge = 223;
    constexpr std::uint32_t kErrorIoDevice = 1117;
    constexpr std::uint32_t kErrorCantResolveFilename = 1921;
    switch (error) {
        case 0:
            return S_OK;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:  // as opening a folder as a file is denied there
            return E_ACCESSDENIED;
        case EMFILE:
        case ENFILE:
            return HresultFromWin32(kErrorTooManyOpenFiles);
        case EFBIG:
            return HresultFromWin32(kErrorFileTooLarge);
        case EIO:
            return HresultFromWin32(kErrorIoDevice);
        case ELOOP:
            return HresultFromWin32(kErrorCantResolveFilename);
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
