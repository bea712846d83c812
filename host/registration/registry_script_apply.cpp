// Applies a read registry script to the registry, in either direction.

#include <cctype>

#include "host/registration/registry_script.h"

namespace fybootp::host {
namespace {

using registry::ERROR_FILE_NOT_FOUND;
using registry::ERROR_SUCCESS;
using registry::HKEY;
using registry::LONG;

bool NamedIgnoringCase(std::string_view name, std::string_view word) {
    if (name.size() != word.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) !=
            std::toupper(static_cast<unsigned char>(word[i]))) {
            return false;
        }
    }
    return true;
}

// Deleting these would take every other program's classes or type
// libraries with them, so ForceRemove never applies to them.
bool Protected(std::string_view name) {
    return NamedIgnoringCase(name, "CLSID") || NamedIgnoringCase(name, "TypeLib");
}

LONG RegisterKey(registry::Registry& registry, HKEY parent, const ScriptKey& key) {
    if (key.forceRemove && !Protected(key.name)) {
        const LONG removed = registry.DeleteTree(parent, key.name);
        if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) return removed;
    }
    HKEY opened{};
    LONG status = registry.CreateKey(parent, key.name, &opened);
    if (status != ERROR_SUCCESS) return status;
    if (key.defaultValue) status = registry.SetString(opened, "", *key.defaultValue);
    for (const ScriptValue& value : key.values) {
        if (status != ERROR_SUCCESS) break;
        status = registry.SetString(opened, value.name, value.text);
    }
    for (const ScriptKey& subkey : key.subkeys) {
        if (status != ERROR_SUCCESS) break;
        status = RegisterKey(registry, opened, subkey);
    }
    registry.CloseKey(opened);
    return status;
}

// The first failure other than an absent key or value, else success.
LONG UnregisterKey(registry::Registry& registry, HKEY parent, const ScriptKey& key) {
    HKEY opened{};
    if (registry.OpenKey(parent, key.name, &opened) != ERROR_SUCCESS) return ERROR_SUCCESS;
    LONG first = ERROR_SUCCESS;
    const auto note = [&first](LONG status) {
        if (first == ERROR_SUCCESS && status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            first = status;
        }
    };
    for (const ScriptValue& value : key.values) note(registry.DeleteValue(opened, value.name));
    for (const ScriptKey& subkey : key.subkeys) note(UnregisterKey(registry, opened, subkey));
    registry::DWORD left = 0;
    note(registry.QueryInfoKey(opened, &left, nullptr));
    registry.CloseKey(opened);
    // What is left below the key belongs to other software; so does the
    // key, then.
    if (!key.noRemove && left == 0) note(registry.DeleteKey(parent, key.name));
    return first;
}

}  // namespace

HRESULT RegisterScript(registry::Registry& registry, const RegistryScript& script) {
    for (const ScriptRoot& root : script) {
        for (const ScriptKey& key : root.keys) {
            const LONG status = RegisterKey(registry, root.root, key);
            if (status == ERROR_SUCCESS) continue;
            UnregisterScript(registry, script);
            return HresultFromWin32(static_cast<std::uint32_t>(status));
        }
    }
    return S_OK;
}

HRESULT UnregisterScript(registry::Registry& registry, const RegistryScript& script) {
    LONG first = ERROR_SUCCESS;
    for (const ScriptRoot& root : script) {
        for (const ScriptKey& key : root.keys) {
            const LONG status = UnregisterKey(registry, root.root, key);
            if (first == ERROR_SUCCESS) first = status;
        }
    }
    return HresultFromWin32(static_cast<std::uint32_t>(first));
}

}  // namespace fybootp::host
