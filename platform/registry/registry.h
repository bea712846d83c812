#pragma once
// HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE as a file-backed store, with the
// operations of the Win32 registry API that the server and its registration
// use, returning Win32 status codes (win32_status.h).
//
// Behaviour callers rely on, as on Windows:
// - Paths are key names joined by backslashes ("CLSID\\{...}\\LocalServer32")
//   relative to the key a handle names; an empty path names that key itself.
//   Names compare without regard to ASCII case and keep the spelling they
//   were created with.
// - A value's name may be empty: that is the key's default value.
// - ERROR_FILE_NOT_FOUND for an absent key or value; ERROR_KEY_DELETED for a
//   handle whose key someone deleted after it was opened (a key created again
//   at the same path is the same key to the handle); ERROR_INVALID_HANDLE for
//   a handle that is not open; ERROR_ACCESS_DENIED when a change cannot be
//   written to the store; ERROR_BADDB when a hive file is damaged.
//
// Every operation reads the hive afresh, so changes made by other processes
// are seen at once, and every change is written before the call returns.
// One Registry may be used from several threads; its handles belong to it.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/win32_status.h"

namespace fybootp::registry {

struct Key;
struct Value;

// Used by Registry() when FYBOOTP_REGISTRY_ROOT is not set.
constexpr std::string_view kDefaultRegistryRoot = "/var/lib/fybootp/registry";

class Registry {
public:
    // The root directory named by the environment variable
    // FYBOOTP_REGISTRY_ROOT, else kDefaultRegistryRoot.
    Registry();
    explicit Registry(std::string root);
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    static std::string DefaultRoot();
    const std::string& Root() const { return m_root; }

    // RegCreateKeyEx: opens the key, creating it and any missing key above
    // it; `disposition` (may be null) receives REG_CREATED_NEW_KEY or
    // REG_OPENED_EXISTING_KEY.
    LONG CreateKey(HKEY parent, std::string_view subKey, HKEY* result,
                   DWORD* disposition = nullptr);
    // RegOpenKeyEx.
    LONG OpenKey(HKEY parent, std::string_view subKey, HKEY* result);
    // RegOpenKeyEx with KEY_WRITE: the key, when it exists and a change to
    // its hive can be written now (ERROR_ACCESS_DENIED otherwise).
    LONG OpenKeyForWriting(HKEY parent, std::string_view subKey, HKEY* result);
    // RegCloseKey. Closing a predefined root does nothing and succeeds.
    LONG CloseKey(HKEY key);

    // RegSetValueEx for REG_SZ (text with or without its terminating NUL;
    // no NUL inside) and REG_DWORD (exactly 4 bytes, host order). Other
    // types: ERROR_INVALID_PARAMETER.
    LONG SetValue(HKEY key, std::string_view name, DWORD type, const void* data, DWORD size);
    LONG SetString(HKEY key, std::string_view name, std::string_view text);
    LONG SetDword(HKEY key, std::string_view name, DWORD value);

    // RegQueryValueEx. The size of a REG_SZ value counts its terminating NUL,
    // which is copied too. With `data` null, `*size` receives the size
    // needed. With a buffer smaller than that: ERROR_MORE_DATA, `*size` is
    // the size needed and the buffer is untouched. `type` may be null; so
    // may `size` when `data` is.
    LONG QueryValue(HKEY key, std::string_view name, DWORD* type, void* data, DWORD* size);
    // The value as text or number; ERROR_UNSUPPORTED_TYPE for the other type.
    LONG QueryString(HKEY key, std::string_view name, std::string* text);
    LONG QueryDword(HKEY key, std::string_view name, DWORD* value);

    // RegDeleteValue.
    LONG DeleteValue(HKEY key, std::string_view name);
    // RegDeleteKey: a key that has subkeys is refused with ERROR_ACCESS_DENIED
    // and stays. An empty path deletes the handle's own key.
    LONG DeleteKey(HKEY parent, std::string_view subKey);
    // RegDeleteTree: the key with its whole subtree. An empty path deletes
    // every subkey and value of the handle's key but keeps the key.
    LONG DeleteTree(HKEY parent, std::string_view subKey);

    // RegEnumKeyEx / RegEnumValue: the name at `index`, ERROR_NO_MORE_ITEMS
    // past the last. Subkeys come in case-insensitive name order, values in
    // the order they were first set. `type` may be null.
    LONG EnumKey(HKEY key, DWORD index, std::string* name);
    LONG EnumValue(HKEY key, DWORD index, std::string* name, DWORD* type = nullptr);
    // RegQueryInfoKey, the two counts; either pointer may be null.
    LONG QueryInfoKey(HKEY key, DWORD* subKeys, DWORD* values);

private:
    enum class Hive { ClassesRoot, LocalMachine };
    struct OpenedKey {
        Hive hive;
        std::vector<std::string> path;  // from the hive's root
    };
    // What an operation works on: the handle's key (which must exist) and a
    // path below it.
    struct Target {
        Hive hive;
        std::vector<std::string> base;
        std::vector<std::string> sub;
    };

    LONG Resolve(HKEY key, std::string_view subKey, Target* target);
    HKEY AddHandle(Hive hive, std::vector<std::string> path);
    // The hive's file name in the root directory, without extension.
    static std::string HiveName(Hive hive);
    LONG ReadHive(Hive hive, Key* root) const;
    LONG UpdateHive(Hive hive, const std::function<LONG(Key& root, bool* changed)>& change) const;
    // The key a target names: ERROR_KEY_DELETED when the handle's own key is
    // gone, ERROR_FILE_NOT_FOUND when only the path below it is absent.
    static LONG Locate(Key& root, const Target& target, Key** key);
    // Resolve, ReadHive and Locate in one: `found` points into `root`.
    LONG ReadTarget(HKEY key, std::string_view subKey, Target* target, Key* root, Key** found);
    LONG ReadValue(HKEY key, std::string_view name, Value* value);
    LONG RemoveKey(HKEY parent, std::string_view subKey, bool wholeTree);

    std::string m_root;
    std::mutex m_lock;
    std::map<std::uint32_t, OpenedKey> m_handles;  // guarded by m_lock
    std::uint32_t m_nextHandle = 0;                // guarded by m_lock
};

}  // namespace fybootp::registry
