#include "platform/com/type_lib_registration.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/com/com_ptr.h"
#include "platform/com/elf_section.h"
#include "platform/com/load_type_lib.h"

namespace fybootp {
namespace {

using registry::HKEY;
using registry::HKEY_CLASSES_ROOT;
using registry::Registry;

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%x", value);
    return text;
}

std::string VersionText(WORD major, WORD minor) { return Hex(major) + "." + Hex(minor); }

std::string LibraryKey(const GUID& libid) { return "TypeLib\\" + GuidToString(libid); }

// "M.m" in hex, as the version subkeys are named.
std::optional<std::pair<unsigned, unsigned>> ParseVersion(const std::string& text) {
    unsigned major = 0, minor = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%x.%x%c", &major, &minor, &end) != 2) return std::nullopt;
    return std::make_pair(major, minor);
}

// Closes a registry handle when the scope ends.
class KeyHandle {
public:
    explicit KeyHandle(Registry& registry) : m_registry(registry) {}
    ~KeyHandle() {
        if (m_open) m_registry.CloseKey(m_key);
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    registry::LONG Open(HKEY parent, std::string_view path) {
        const registry::LONG status = m_registry.OpenKey(parent, path, &m_key);
        m_open = status == 0;
        return status;
    }
    HKEY Get() const { return m_key; }

private:
    Registry& m_registry;
    HKEY m_key{};
    bool m_open = false;
};

std::optional<std::string> FindVersionKey(Registry& registry, const GUID& libid, WORD major,
                                          WORD minor) {
    KeyHandle library(registry);
    if (library.Open(HKEY_CLASSES_ROOT, LibraryKey(libid)) != 0) return std::nullopt;
    std::optional<std::string> best;
    unsigned bestMinor = 0;
    std::string name;
    for (registry::DWORD i = 0; registry.EnumKey(library.Get(), i, &name) == 0; ++i) {
        const auto version = ParseVersion(name);
        if (!version || version->first != major || version->second < minor) continue;
        if (!best || version->second > bestMinor) {
            best = name;
            bestMinor = version->second;
        }
    }
    return best;
}

HRESULT SetDefault(Registry& registry, const std::string& path, std::string_view text) {
    HKEY key{};
    if (registry.CreateKey(HKEY_CLASSES_ROOT, path, &key) != 0) return TYPE_E_REGISTRYACCESS;
    const registry::LONG status = registry.SetString(key, "", text);
    registry.CloseKey(key);
    return status == 0 ? S_OK : TYPE_E_REGISTRYACCESS;
}

bool MarshalledByTypeLibrary(const TypeDesc& type) {
    return type.kind == TKIND_INTERFACE &&
           (type.flags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)) != 0;
}

}  // namespace

HRESULT LoadTypeLib(const std::filesystem::path& path, ITypeLib** library) {
    if (library == nullptr) return E_POINTER;
    *library = nullptr;
    if (!IsElfFile(path)) return LoadTypeLibFromFile(path, library);
    std::string text;
    if (ReadElfSection(path, kTypeLibSection, &text) != 0) return TYPE_E_CANTLOADLIBRARY;
    return LoadTypeLibFromText(text, library);
}

HRESULT LoadRegTypeLib(Registry& registry, const GUID& libid, WORD major, WORD minor, LCID lcid,
                       ITypeLib** library) {
    if (library == nullptr) return E_POINTER;
    *library = nullptr;
    const std::optional<std::string> version = FindVersionKey(registry, libid, major, minor);
    if (!version) return TYPE_E_LIBNOTREGISTERED;
    const std::string base = LibraryKey(libid) + "\\" + *version + "\\";
    // The exact locale, then its language alone, then neutral.
    for (const LCID candidate : {lcid, lcid & 0x3FFu, LCID{0}}) {
        KeyHandle key(registry);
        if (key.Open(HKEY_CLASSES_ROOT, base + Hex(candidate) + "\\win32") != 0) continue;
        std::string path;
        if (registry.QueryString(key.Get(), "", &path) != 0 || path.empty()) continue;
        return LoadTypeLib(path, library);
    }
    return TYPE_E_LIBNOTREGISTERED;
}

HRESULT RegisterTypeLib(Registry& registry, ITypeLib* library,
                        const std::filesystem::path& fullPath,
                        const std::filesystem::path& helpDir) {
    if (library == nullptr) return E_INVALIDARG;
    const TypeLibraryDesc* desc = nullptr;
    if (const HRESULT hr = library->GetLibAttr(&desc); Failed(hr)) return hr;
    const std::string libid = GuidToString(desc->libid);
    const std::string version = VersionText(desc->majorVersion, desc->minorVersion);
    const std::string base = "TypeLib\\" + libid + "\\" + version;

    HRESULT hr = SetDefault(registry, base, desc->helpString);
    if (Succeeded(hr)) hr = SetDefault(registry, base + "\\FLAGS", std::to_string(desc->flags));
    if (Succeeded(hr)) hr = SetDefault(registry, base + "\\HELPDIR", helpDir.string());
    if (Succeeded(hr)) {
        hr = SetDefault(registry, base + "\\" + Hex(desc->lcid) + "\\win32", fullPath.string());
    }
    const std::string marshaller = GuidToString(kTypeLibMarshallerClsid);
    for (const TypeDesc& type : desc->types) {
        if (Failed(hr)) break;
        if (!MarshalledByTypeLibrary(type)) continue;
        const std::string key = "Interface\\" + GuidToString(type.guid);
        hr = SetDefault(registry, key, type.name);
        if (Succeeded(hr)) hr = SetDefault(registry, key + "\\ProxyStubClsid", marshaller);
        if (Succeeded(hr)) hr = SetDefault(registry, key + "\\ProxyStubClsid32", marshaller);
        if (Succeeded(hr)) hr = SetDefault(registry, key + "\\TypeLib", libid);
        if (Succeeded(hr)) {
            HKEY typeLibKey{};
            if (registry.CreateKey(HKEY_CLASSES_ROOT, key + "\\TypeLib", &typeLibKey) != 0 ||
                registry.SetString(typeLibKey, "Version", version) != 0) {
                hr = TYPE_E_REGISTRYACCESS;
            }
            registry.CloseKey(typeLibKey);
        }
    }
    return hr;
}

HRESULT UnRegisterTypeLib(Registry& registry, const GUID& libid, WORD major, WORD minor,
                          LCID lcid) {
    const std::string version = VersionText(major, minor);
    const std::string base = LibraryKey(libid) + "\\" + version;
    {
        KeyHandle key(registry);
        if (key.Open(HKEY_CLASSES_ROOT, base) != 0) return TYPE_E_LIBNOTREGISTERED;
    }
    // The interfaces to remove are those the registered library describes,
    // and only where they still point at this library.
    ComPtr<ITypeLib> library;
    if (Succeeded(LoadRegTypeLib(registry, libid, major, minor, lcid, library.Receive()))) {
        const TypeLibraryDesc* desc = nullptr;
        library->GetLibAttr(&desc);
        for (const TypeDesc& type : desc->types) {
            if (!MarshalledByTypeLibrary(type)) continue;
            const std::string key = "Interface\\" + GuidToString(type.guid);
            KeyHandle typeLibKey(registry);
            std::string owner;
            if (typeLibKey.Open(HKEY_CLASSES_ROOT, key + "\\TypeLib") != 0 ||
                registry.QueryString(typeLibKey.Get(), "", &owner) != 0) {
                continue;
            }
            GUID ownerId{};
            if (Succeeded(GuidFromString(owner, &ownerId)) && ownerId == libid) {
                registry.DeleteTree(HKEY_CLASSES_ROOT, key);
            }
        }
    }
    if (registry.DeleteTree(HKEY_CLASSES_ROOT, base) != 0) return TYPE_E_REGISTRYACCESS;
    // The library's own key goes with its last version.
    KeyHandle remaining(registry);
    if (remaining.Open(HKEY_CLASSES_ROOT, LibraryKey(libid)) == 0) {
        registry::DWORD subKeys = 0, values = 0;
        if (registry.QueryInfoKey(remaining.Get(), &subKeys, &values) == 0 && subKeys == 0) {
            registry.DeleteKey(HKEY_CLASSES_ROOT, LibraryKey(libid));
        }
    }
    return S_OK;
}

}  // namespace fybootp
