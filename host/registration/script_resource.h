#pragma once
// The executable's REGISTRY resources: registry scripts kept as ELF
// sections named ".fyb_registry_<id>", read from the module's file as a
// data file is.

#include <string>

#include "platform/com/hresult.h"

namespace fybootp::host {

inline constexpr int kAppIdScriptId = 100;
inline constexpr int kClassScriptId = 101;

// Win32 ERROR_RESOURCE_NAME_NOT_FOUND.
inline constexpr std::uint32_t kErrorResourceNameNotFound = 1814;

// S_OK and the script's text, cut at its first NUL. A module without that
// script: HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND); one that cannot
// be read: the Win32 error of the read as an HRESULT.
HRESULT LoadRegistryScriptResource(const std::string& modulePath, int id, std::string* text);

}  // namespace fybootp::host
