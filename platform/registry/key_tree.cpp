#include "platform/registry/key_tree.h"

#include <algorithm>
#include <utility>

namespace fybootp::registry {

std::string FoldName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return folded;
}

bool NamesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && FoldName(a) == FoldName(b);
}

bool IsValidKeyName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxKeyNameLength &&
           name.find('\\') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool IsValidValueName(std::string_view name) {
    return name.size() <= kMaxValueNameLength && name.find('\0') == std::string_view::npos;
}

Key* Key::FindSubkey(std::string_view subkey) {
    const auto it = subkeys.find(FoldName(subkey));
    return it == subkeys.end() ? nullptr : it->second.get();
}

const Key* Key::FindSubkey(std::string_view subkey) const {
    const auto it = subkeys.find(FoldName(subkey));
    return it == subkeys.end() ? nullptr : it->second.get();
}

Key& Key::EnsureSubkey(std::string_view subkey, bool* created) {
    auto [it, inserted] = subkeys.try_emplace(FoldName(subkey));
    if (inserted) {
        it->second = std::make_unique<Key>();
        it->second->name = std::string(subkey);
    }
    *created = inserted;
    return *it->second;
}

bool Key::RemoveSubkey(std::string_view subkey) { return subkeys.erase(FoldName(subkey)) != 0; }

Value* Key::FindValue(std::string_view valueName) {
    const auto it = std::find_if(values.begin(), values.end(),
                                 [&](const Value& v) { return NamesEqual(v.name, valueName); });
    return it == values.end() ? nullptr : &*it;
}

const Value* Key::FindValue(std::string_view valueName) const {
    const auto it = std::find_if(values.begin(), values.end(),
                                 [&](const Value& v) { return NamesEqual(v.name, valueName); });
    return it == values.end() ? nullptr : &*it;
}

void Key::SetValue(Value value) {
    if (Value* existing = FindValue(value.name)) {
        // A replaced value keeps the spelling it was first set with, as a
        // key keeps the one it was created with.
        value.name = std::move(existing->name);
        *existing = std::move(value);
        return;
    }
    values.push_back(std::move(value));
}

bool Key::RemoveValue(std::string_view valueName) {
    const auto it = std::find_if(values.begin(), values.end(),
                                 [&](const Value& v) { return NamesEqual(v.name, valueName); });
    if (it == values.end()) {
        return false;
    }
    values.erase(it);
    return true;
}

Key* FindPath(Key& root, std::span<const std::string> path) {
    Key* key = &root;
    for (const std::string& name : path) {
        key = key->FindSubkey(name);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

const Key* FindPath(const Key& root, std::span<const std::string> path) {
    const Key* key = &root;
    for (const std::string& name : path) {
        key = key->FindSubkey(name);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

}  // namespace fybootp::registry
