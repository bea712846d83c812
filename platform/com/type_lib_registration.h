#pragma once
// Loading and registering type libraries through the registry, with the
// keys COM clients look for:
//   TypeLib\{LIBID}\M.m              (default) the library's help string
//   TypeLib\{LIBID}\M.m\FLAGS        (default) the library flags, decimal
//   TypeLib\{LIBID}\M.m\HELPDIR      (default) the help directory
//   TypeLib\{LIBID}\M.m\LCID\win32   (default) the file holding the library
//   Interface\{IID}                  (default) the interface's name, with
//     ProxyStubClsid and ProxyStubClsid32 naming the type-library marshaller
//     and TypeLib naming the library and its version,
// for every dual or OLE Automation interface. Versions and locales are hex.

#include <filesystem>
#include <string_view>

#include "platform/com/type_info.h"
#include "platform/registry/registry.h"

namespace fybootp {

// The section of an executable that holds its type library (resource 1).
inline constexpr char kTypeLibSection[] = ".fyb_typelib";

// The marshaller that carries calls of registered automation interfaces.
inline constexpr GUID kTypeLibMarshallerClsid =
    GuidLiteral("{00020424-0000-0000-C000-000000000046}");

// From an executable's type library section, or from a .tlb text file.
HRESULT LoadTypeLib(const std::filesystem::path& path, ITypeLib** library);

// The registered library of that major version with at least that minor
// version (the highest such), for the locale, its language, or neutral.
// TYPE_E_LIBNOTREGISTERED when there is none.
HRESULT LoadRegTypeLib(registry::Registry& registry, const GUID& libid, WORD major, WORD minor,
                       LCID lcid, ITypeLib** library);

HRESULT RegisterTypeLib(registry::Registry& registry, ITypeLib* library,
                        const std::filesystem::path& fullPath,
                        const std::filesystem::path& helpDir);

// Removes the library's version key (and the library's key when no version
// is left) and the Interface keys of its interfaces.
HRESULT UnRegisterTypeLib(registry::Registry& registry, const GUID& libid, WORD major, WORD minor,
                          LCID lcid);

}  // namespace fybootp
