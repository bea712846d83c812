#pragma once
// A hive in memory: a tree of keys, each with its values. Key and value names
// are compared without regard to ASCII case but keep the spelling they were
// created with, as Windows does. Subkeys are kept ordered by the upper-cased
// name, which is the order in which Windows enumerates them; values keep the
// order in which they were first set.

#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/win32_status.h"

namespace fybootp::registry {

// The comparison key of a name: ASCII letters upper-cased, every other byte
// as it is.
std::string FoldName(std::string_view name);
bool NamesEqual(std::string_view a, std::string_view b);

// A component of a key path: not empty, no backslash, no NUL, at most
// kMaxKeyNameLength bytes.
bool IsValidKeyName(std::string_view name);
// A value name: no NUL, at most kMaxValueNameLength bytes (empty is the
// key's default value).
bool IsValidValueName(std::string_view name);

struct Value {
    std::string name;
    DWORD type = REG_SZ;
    std::string text;  // REG_SZ, without the terminating NUL
    DWORD number = 0;  // REG_DWORD
};

struct Key {
    std::string name;                                     // as created
    std::vector<Value> values;                            // in order of first set
    std::map<std::string, std::unique_ptr<Key>> subkeys;  // by FoldName(name)

    Key* FindSubkey(std::string_view subkey);
    const Key* FindSubkey(std::string_view subkey) const;
    // The subkey of that name, created when absent; `created` tells which.
    Key& EnsureSubkey(std::string_view subkey, bool* created);
    // Removes the subkey with its whole subtree; false when absent.
    bool RemoveSubkey(std::string_view subkey);

    Value* FindValue(std::string_view valueName);
    const Value* FindValue(std::string_view valueName) const;
    // Replaces a value of that name in place, or appends it.
    void SetValue(Value value);
    bool RemoveValue(std::string_view valueName);
};

// Walks a path of key names from `root`; null when a key on the way is absent.
Key* FindPath(Key& root, std::span<const std::string> path);
const Key* FindPath(const Key& root, std::span<const std::string> path);

}  // namespace fybootp::registry
