#include "platform/registry/registry.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <span>
#include <utility>

#include "platform/registry/hive_file.h"
#include "platform/registry/key_tree.h"

namespace fybootp::registry {
namespace {

// Handles are multiples of 4 below the predefined roots, like Windows's, so
// that a zeroed or predefined value is never mistaken for an opened key.
constexpr std::uint32_t kHandleStep = 4;
constexpr std::uint32_t kLastHandle = 0x80000000u - kHandleStep;

// Splits a backslash-separated path; false when a component is empty (a
// leading, trailing or doubled backslash) or not a valid key name.
bool SplitPath(std::string_view path, std::vector<std::string>* names) {
    names->clear();
    if (path.empty()) {
        return true;
    }
    for (;;) {
        const std::size_t end = path.find('\\');
        const std::string_view name = path.substr(0, end);
        if (!IsValidKeyName(name)) {
            return false;
        }
        names->emplace_back(name);
        if (end == std::string_view::npos) {
            return true;
        }
        path.remove_prefix(end + 1);
    }
}

std::vector<std::string> FullPath(const std::vector<std::string>& base,
                                  const std::vector<std::string>& sub) {
    std::vector<std::string> path = base;
    path.insert(path.end(), sub.begin(), sub.end());
    return path;
}

bool SameValue(const Value& a, const Value& b) {
    return a.name == b.name && a.type == b.type &&
           (a.type == REG_DWORD ? a.number == b.number : a.text == b.text);
}

}  // namespace

Registry::Registry() : Registry(DefaultRoot()) {}

Registry::Registry(std::string root) : m_root(std::move(root)) {}

std::string Registry::DefaultRoot() {
    const char* root = std::getenv("FYBOOTP_REGISTRY_ROOT");
    return root != nullptr && *root != '\0' ? std::string(root) : std::string(kDefaultRegistryRoot);
}

std::string Registry::HiveName(Hive hive) { return hive == Hive::ClassesRoot ? "HKCR" : "HKLM"; }

LONG Registry::Resolve(HKEY key, std::string_view subKey, Target* target) {
    if (key == HKEY_CLASSES_ROOT || key == HKEY_LOCAL_MACHINE) {
        target->hive = key == HKEY_CLASSES_ROOT ? Hive::ClassesRoot : Hive::LocalMachine;
        target->base.clear();
    } else {
        const std::lock_guard guard(m_lock);
        const auto it = m_handles.find(static_cast<std::uint32_t>(key));
        if (it == m_handles.end()) {
            return ERROR_INVALID_HANDLE;
        }
        target->hive = it->second.hive;
        target->base = it->second.path;
    }
    if (!SplitPath(subKey, &target->sub) ||
        target->base.size() + target->sub.size() > kMaxKeyDepth) {
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

HKEY Registry::AddHandle(Hive hive, std::vector<std::string> path) {
    const std::lock_guard guard(m_lock);
    do {
        m_nextHandle = m_nextHandle >= kLastHandle ? kHandleStep : m_nextHandle + kHandleStep;
    } while (m_handles.contains(m_nextHandle));
    m_handles.emplace(m_nextHandle, OpenedKey{hive, std::move(path)});
    return HKEY{m_nextHandle};
}

LONG Registry::ReadHive(Hive hive, Key* root) const {
    return HiveFile(m_root, HiveName(hive)).Read(root);
}

LONG Registry::UpdateHive(Hive hive,
                          const std::function<LONG(Key& root, bool* changed)>& change) const {
    return HiveFile(m_root, HiveName(hive)).Update(change);
}

LONG Registry::Locate(Key& root, const Target& target, Key** key) {
    Key* base = FindPath(root, target.base);
    if (base == nullptr) {
        return ERROR_KEY_DELETED;
    }
    *key = FindPath(*base, target.sub);
    return *key == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

LONG Registry::CreateKey(HKEY parent, std::string_view subKey, HKEY* result, DWORD* disposition) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // An existing key is opened without the lock, so that opening one needs
    // no write access to the store, as on Windows.
    Target target;
    Key root;
    Key* key = nullptr;
    LONG status = ReadTarget(parent, subKey, &target, &root, &key);
    bool created = false;
    if (status == ERROR_FILE_NOT_FOUND) {
        status = UpdateHive(target.hive, [&](Key& current, bool* changed) {
            Key* base = FindPath(current, target.base);
            if (base == nullptr) {
                return ERROR_KEY_DELETED;
            }
            for (const std::string& name : target.sub) {
                base = &base->EnsureSubkey(name, &created);
                *changed = *changed || created;
            }
            return ERROR_SUCCESS;
        });
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *result = AddHandle(target.hive, FullPath(target.base, target.sub));
    return ERROR_SUCCESS;
}

LONG Registry::ReadTarget(HKEY key, std::string_view subKey, Target* target, Key* root,
                          Key** found) {
    LONG status = Resolve(key, subKey, target);
    if (status == ERROR_SUCCESS) {
        status = ReadHive(target->hive, root);
    }
    if (status == ERROR_SUCCESS) {
        status = Locate(*root, *target, found);
    }
    return status;
}

LONG Registry::ReadValue(HKEY key, std::string_view name, Value* value) {
    Target target;
    Key root;
    Key* found = nullptr;
    if (const LONG status = ReadTarget(key, {}, &target, &root, &found); status != ERROR_SUCCESS) {
        return status;
    }
    const Value* stored = found->FindValue(name);
    if (stored == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    *value = *stored;
    return ERROR_SUCCESS;
}

LONG Registry::OpenKey(HKEY parent, std::string_view subKey, HKEY* result) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Target target;
    Key root;
    Key* found = nullptr;
    const LONG status = ReadTarget(parent, subKey, &target, &root, &found);
    if (status == ERROR_SUCCESS) {
        *result = AddHandle(target.hive, FullPath(target.base, target.sub));
    }
    return status;
}

LONG Registry::CloseKey(HKEY key) {
    if (key == HKEY_CLASSES_ROOT || key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    const std::lock_guard guard(m_lock);
    return m_handles.erase(static_cast<std::uint32_t>(key)) != 0 ? ERROR_SUCCESS
                                                                 : ERROR_INVALID_HANDLE;
}

LONG Registry::SetValue(HKEY key, std::string_view name, DWORD type, const void* data, DWORD size) {
    if (!IsValidValueName(name) || (data == nullptr && size != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    Value value;
    value.name = std::string(name);
    value.type = type;
    const std::string_view bytes =
        size == 0 ? std::string_view() : std::string_view(static_cast<const char*>(data), size);
    if (type == REG_SZ) {
        value.text = bytes.ends_with('\0') ? bytes.substr(0, bytes.size() - 1) : bytes;
        if (value.text.find('\0') != std::string::npos) {
            return ERROR_INVALID_PARAMETER;
        }
    } else if (type == REG_DWORD && size == sizeof(DWORD)) {
        std::memcpy(&value.number, data, sizeof(DWORD));
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    Target target;
    if (const LONG status = Resolve(key, {}, &target); status != ERROR_SUCCESS) {
        return status;
    }
    return UpdateHive(target.hive, [&](Key& root, bool* changed) {
        Key* found = nullptr;
        if (const LONG status = Locate(root, target, &found); status != ERROR_SUCCESS) {
            return status;
        }
        const Value* existing = found->FindValue(name);
        *changed = existing == nullptr || !SameValue(*existing, value);
        if (*changed) {
            found->SetValue(value);
        }
        return ERROR_SUCCESS;
    });
}

LONG Registry::SetString(HKEY key, std::string_view name, std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        return ERROR_INVALID_PARAMETER;
    }
    return SetValue(key, name, REG_SZ, text.data(), static_cast<DWORD>(text.size()));
}

LONG Registry::SetDword(HKEY key, std::string_view name, DWORD value) {
    return SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

LONG Registry::QueryValue(HKEY key, std::string_view name, DWORD* type, void* data, DWORD* size) {
    if (data != nullptr && size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Value value;
    if (const LONG status = ReadValue(key, name, &value); status != ERROR_SUCCESS) {
        return status;
    }
    // A REG_SZ value is handed out with its terminating NUL, as Windows
    // stores text written with it.
    const bool isText = value.type == REG_SZ;
    const DWORD needed = isText ? static_cast<DWORD>(value.text.size() + 1) : sizeof(DWORD);
    if (type != nullptr) {
        *type = value.type;
    }
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, isText ? value.text.c_str() : static_cast<const void*>(&value.number),
                    needed);
    }
    if (size != nullptr) {
        *size = needed;
    }
    return ERROR_SUCCESS;
}

LONG Registry::QueryString(HKEY key, std::string_view name, std::string* text) {
    Value value;
    if (text == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (const LONG status = ReadValue(key, name, &value); status != ERROR_SUCCESS) {
        return status;
    }
    if (value.type != REG_SZ) {
        return ERROR_UNSUPPORTED_TYPE;
    }
    *text = std::move(value.text);
    return ERROR_SUCCESS;
}

LONG Registry::QueryDword(HKEY key, std::string_view name, DWORD* number) {
    Value value;
    if (number == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (const LONG status = ReadValue(key, name, &value); status != ERROR_SUCCESS) {
        return status;
    }
    if (value.type != REG_DWORD) {
        return ERROR_UNSUPPORTED_TYPE;
    }
    *number = value.number;
    return ERROR_SUCCESS;
}

LONG Registry::DeleteValue(HKEY key, std::string_view name) {
    Target target;
    if (const LONG status = Resolve(key, {}, &target); status != ERROR_SUCCESS) {
        return status;
    }
    return UpdateHive(target.hive, [&](Key& root, bool* changed) {
        Key* found = nullptr;
        if (const LONG status = Locate(root, target, &found); status != ERROR_SUCCESS) {
            return status;
        }
        *changed = found->RemoveValue(name);
        return *changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG Registry::DeleteKey(HKEY parent, std::string_view subKey) {
    return RemoveKey(parent, subKey, /*wholeTree=*/false);
}

LONG Registry::DeleteTree(HKEY parent, std::string_view subKey) {
    if (!subKey.empty()) {
        return RemoveKey(parent, subKey, /*wholeTree=*/true);
    }
    Target target;
    if (const LONG status = Resolve(parent, subKey, &target); status != ERROR_SUCCESS) {
        return status;
    }
    return UpdateHive(target.hive, [&](Key& root, bool* changed) {
        Key* found = nullptr;
        if (const LONG status = Locate(root, target, &found); status != ERROR_SUCCESS) {
            return status;
        }
        *changed = !found->subkeys.empty() || !found->values.empty();
        found->subkeys.clear();
        found->values.clear();
        return ERROR_SUCCESS;
    });
}

LONG Registry::RemoveKey(HKEY parent, std::string_view subKey, bool wholeTree) {
    Target target;
    if (const LONG status = Resolve(parent, subKey, &target); status != ERROR_SUCCESS) {
        return status;
    }
    const std::vector<std::string> path = FullPath(target.base, target.sub);
    if (path.empty()) {
        return ERROR_INVALID_PARAMETER;  // a hive's root is never deleted
    }
    return UpdateHive(target.hive, [&](Key& root, bool* changed) {
        Key* found = nullptr;
        if (const LONG status = Locate(root, target, &found); status != ERROR_SUCCESS) {
            return status;
        }
        if (!wholeTree && !found->subkeys.empty()) {
            return ERROR_ACCESS_DENIED;
        }
        Key* above = FindPath(root, std::span(path).first(path.size() - 1));
        *changed = above->RemoveSubkey(path.back());
        return ERROR_SUCCESS;
    });
}

LONG Registry::EnumKey(HKEY key, DWORD index, std::string* name) {
    if (name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Target target;
    Key root;
    Key* found = nullptr;
    if (const LONG status = ReadTarget(key, {}, &target, &root, &found); status != ERROR_SUCCESS) {
        return status;
    }
    if (index >= found->subkeys.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    *name = std::next(found->subkeys.begin(), index)->second->name;
    return ERROR_SUCCESS;
}

LONG Registry::EnumValue(HKEY key, DWORD index, std::string* name, DWORD* type) {
    if (name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Target target;
    Key root;
    Key* found = nullptr;
    if (const LONG status = ReadTarget(key, {}, &target, &root, &found); status != ERROR_SUCCESS) {
        return status;
    }
    if (index >= found->values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const Value& value = found->values[index];
    *name = value.name;
    if (type != nullptr) {
        *type = value.type;
    }
    return ERROR_SUCCESS;
}

LONG Registry::OpenKeyForWriting(HKEY parent, std::string_view subKey, HKEY* result) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Target target;
    Key root;
    Key* found = nullptr;
    if (const LONG status = ReadTarget(parent, subKey, &target, &root, &found);
        status != ERROR_SUCCESS) {
        return status;
    }
    // An update that changes nothing takes the hive's lock and reads it,
    // which is what any later change needs, and writes nothing.
    const LONG status = UpdateHive(target.hive, [&](Key& current, bool*) {
        Key* key = nullptr;
        return Locate(current, target, &key);
    });
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return OpenKey(parent, subKey, result);
}

LONG Registry::QueryInfoKey(HKEY key, DWORD* subKeys, DWORD* values) {
    Target target;
    Key root;
    Key* found = nullptr;
    if (const LONG status = ReadTarget(key, {}, &target, &root, &found); status != ERROR_SUCCESS) {
        return status;
    }
    if (subKeys != nullptr) {
        *subKeys = static_cast<DWORD>(found->subkeys.size());
    }
    if (values != nullptr) {
        *values = static_cast<DWORD>(found->values.size());
    }
    return ERROR_SUCCESS;
}

}  // namespace fybootp::registry
