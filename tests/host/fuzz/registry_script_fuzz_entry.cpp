#include "tests/host/fuzz/registry_script_fuzz_entry.h"

#include <algorithm>
#include <string_view>

#include "host/registration/registry_script.h"

namespace fybootp::fuzz {
namespace {

using host::ScriptKey;

int LineCount(std::string_view text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
}

std::string_view ThroughLine(std::string_view text, int line) {
    std::size_t end = 0;
    for (int i = 0; i < line; ++i) {
        end = text.find('\n', i == 0 ? 0 : end + 1);
        if (end == std::string_view::npos) return text;
    }
    return text.substr(0, end);
}

bool AllNamed(const std::vector<ScriptKey>& keys) {
    return std::all_of(keys.begin(), keys.end(), [](const ScriptKey& key) {
        return !key.name.empty() && AllNamed(key.subkeys);
    });
}

std::string CheckRead(std::string_view text) {
    host::RegistryScript script;
    int where = 0;
    const HRESULT hr = host::ReadRegistryScript(text, &script, &where);
    if (hr == S_OK) {
        for (const host::ScriptRoot& root : script) {
            if (root.root != registry::HKEY_CLASSES_ROOT && root.root != registry::HKEY_LOCAL_MACHINE) {
                return "a script root other than HKCR or HKLM";
            }
            if (!AllNamed(root.keys)) return "a key without a name";
        }
        return {};
    }
    if (hr != DISP_E_EXCEPTION) return "reading returned " + std::to_string(hr);
    if (where < 1 || where > LineCount(text)) {
        return "refused at line " + std::to_string(where) + " of " +
               std::to_string(LineCount(text));
    }
    host::RegistryScript cutScript;
    int cutWhere = 0;
    if (host::ReadRegistryScript(ThroughLine(text, where), &cutScript, &cutWhere) !=
            DISP_E_EXCEPTION ||
        cutWhere != where) {
        return "refused at line " + std::to_string(where) +
               ", but not there once cut after it (" + std::to_string(cutWhere) + ")";
    }
    return {};
}

}  // namespace

std::string RunRegistryScriptInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const host::Replacements table{{"Module", "/usr/sbin/fybootp"}};
    std::string expanded;
    const HRESULT hr = host::ExpandReplacements(text, table, &expanded);
    if (hr == S_OK) return CheckRead(expanded);
    if (hr != DISP_E_EXCEPTION) return "expanding returned " + std::to_string(hr);
    // Unexpanded, as a script the table does not fit: still read safely.
    return CheckRead(text);
}

}  // namespace fybootp::fuzz
