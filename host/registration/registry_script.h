#pragma once
// Registry scripts: the text form in which the executable keeps the keys
// and values it registers (AppID and class), the reader of that text and
// the two directions of applying it to the registry.
//
// The grammar, as far as our scripts use it:
//   script := { root '{' { key } '}' }          root: HKCR or HKLM
//   key    := [ 'ForceRemove' | 'NoRemove' ] name [ '=' 's' text ]
//             [ '{' { 'val' name '=' 's' text | key } '}' ]
// Tokens are separated by white space; a name or text is bare (a run of
// non-blank characters) or between single quotes, where two single quotes
// stand for one. Keywords compare without regard to ASCII case.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/registry/registry.h"

namespace fybootp::host {

struct ScriptValue {
    std::string name;
    std::string text;
};

struct ScriptKey {
    std::string name;
    bool forceRemove = false;
    bool noRemove = false;
    std::optional<std::string> defaultValue;
    std::vector<ScriptValue> values;
    std::vector<ScriptKey> subkeys;
};

struct ScriptRoot {
    registry::HKEY root{};
    std::vector<ScriptKey> keys;
};

using RegistryScript = std::vector<ScriptRoot>;

// Names are looked up without regard to ASCII case ("Module" serves
// "%MODULE%").
using Replacements = std::map<std::string, std::string>;

// Replaces every %NAME% by its text and %% by one percent sign.
// DISP_E_EXCEPTION for a name not in the table, one of 32 characters or
// more, or a percent sign left open.
HRESULT ExpandReplacements(std::string_view text, const Replacements& table, std::string* out);

// DISP_E_EXCEPTION for text that breaks the grammar; *where (when given)
// receives the 1-based line of the fault.
HRESULT ReadRegistryScript(std::string_view text, RegistryScript* script, int* where = nullptr);

// Creates the keys and values; a key marked ForceRemove (unless it is
// named CLSID or TypeLib) is deleted with its subtree first. A failure
// part-way takes back what the script names and returns the failure.
HRESULT RegisterScript(registry::Registry& registry, const RegistryScript& script);

// Removes, depth first, every named value and every key the script names,
// except keys marked NoRemove and keys that still hold subkeys the script
// does not name. Missing keys and values are passed over.
HRESULT UnregisterScript(registry::Registry& registry, const RegistryScript& script);

}  // namespace fybootp::host
