#pragma once
// Where type libraries come from: the text form (type_library_text.h), a
// file holding it, or a description built in code. Each hands out a new
// library with one reference, owned by the caller.

#include <filesystem>
#include <string_view>

#include "platform/com/type_info.h"
#include "platform/com/type_library_text.h"

namespace fybootp {

// TYPE_E_UNSUPFORMAT for text that breaks the format or a rule, with the
// line and the reason in *error when given.
HRESULT LoadTypeLibFromText(std::string_view text, ITypeLib** library,
                            TypeLibraryTextError* error = nullptr);

// TYPE_E_CANTLOADLIBRARY when the file cannot be read (or is larger than any
// library needs to be); otherwise as LoadTypeLibFromText.
HRESULT LoadTypeLibFromFile(const std::filesystem::path& path, ITypeLib** library,
                            TypeLibraryTextError* error = nullptr);

// E_INVALIDARG for a description that breaks a rule.
HRESULT CreateTypeLibFromDesc(TypeLibraryDesc desc, ITypeLib** library);

}  // namespace fybootp
