// Reads registry script text into keys and values. Nothing here touches the
// registry: a script is read whole before it is applied, so a syntax error
// never leaves half of it registered.

#include <cctype>

#include "host/registration/registry_script.h"

namespace fybootp::host {
namespace {

// Longer names are refused, as the registrar of the platform refuses them.
constexpr std::size_t kMaxReplacementName = 31;
constexpr char kQuote = '\'';

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

const std::string* FindReplacement(const Replacements& table, std::string_view name) {
    for (const auto& [key, text] : table) {
        if (EqualsIgnoringCase(key, name)) return &text;
    }
    return nullptr;
}

struct Token {
    std::string text;
    bool quoted = false;
    int line = 1;

    bool Is(std::string_view word) const { return !quoted && EqualsIgnoringCase(text, word); }
};

class Lexer {
public:
    explicit Lexer(std::string_view text) : m_text(text) {}

    // False at the end of the text, or for a quote left open (*broken).
    bool Next(Token* token, bool* broken) {
        SkipBlanks();
        if (m_at >= m_text.size()) return false;
        token->line = m_line;
        token->text.clear();
        token->quoted = m_text[m_at] == kQuote;
        if (!token->quoted) {
            while (m_at < m_text.size() && !IsBlank(m_text[m_at])) token->text += m_text[m_at++];
            return true;
        }
        for (++m_at; m_at < m_text.size(); ++m_at) {
            const char c = m_text[m_at];
            if (c == '\n') ++m_line;
            if (c != kQuote) {
                token->text += c;
            } else if (m_at + 1 < m_text.size() && m_text[m_at + 1] == kQuote) {
                token->text += kQuote;
                ++m_at;
            } else {
                ++m_at;
                return true;
            }
        }
        *broken = true;
        return false;
    }

private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    void SkipBlanks() {
        for (; m_at < m_text.size() && IsBlank(m_text[m_at]); ++m_at) {
            if (m_text[m_at] == '\n') ++m_line;
        }
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    int m_line = 1;
};

class Reader {
public:
    explicit Reader(std::string_view text) : m_lexer(text) { Advance(); }

    bool Script(RegistryScript* script) {
        while (m_has) {
            ScriptRoot root;
            if (m_token.Is("HKCR") || m_token.Is("HKEY_CLASSES_ROOT")) {
                root.root = registry::HKEY_CLASSES_ROOT;
            } else if (m_token.Is("HKLM") || m_token.Is("HKEY_LOCAL_MACHINE")) {
                root.root = registry::HKEY_LOCAL_MACHINE;
            } else {
                return false;
            }
            Advance();
            if (!Expect("{")) return false;
            while (m_has && !m_token.Is("}")) {
                root.keys.emplace_back();
                if (!Key(&root.keys.back(), 1)) return false;
            }
            if (!Expect("}")) return false;
            script->push_back(std::move(root));
        }
        return !m_broken;
    }

    int Line() const { return m_token.line; }

private:
    void Advance() { m_has = m_lexer.Next(&m_token, &m_broken); }

    bool Expect(std::string_view word) {
        if (!m_has || !m_token.Is(word)) return false;
        Advance();
        return true;
    }

    // A name, bare or quoted; braces and the equals sign are not names.
    bool Name(std::string* name) {
        if (!m_has || (!m_token.quoted &&
                       (m_token.text == "{" || m_token.text == "}" || m_token.text == "="))) {
            return false;
        }
        *name = m_token.text;
        Advance();
        return true;
    }

    // "= s text": the only value type these scripts set is REG_SZ.
    bool StringValue(std::string* text) { return Expect("=") && Expect("s") && Name(text); }

    bool Key(ScriptKey* key, std::size_t depth) {
        if (depth > registry::kMaxKeyDepth) return false;
        if (m_has && m_token.Is("ForceRemove")) {
            key->forceRemove = true;
            Advance();
        } else if (m_has && m_token.Is("NoRemove")) {
            key->noRemove = true;
            Advance();
        }
        // "val" opens a value; a key of that name must be quoted.
        if (m_has && m_token.Is("val")) return false;
        // One script key is one registry key: no path inside a name.
        if (!Name(&key->name) || key->name.empty() || key->name.find('\\') != std::string::npos) {
            return false;
        }
        if (m_has && m_token.Is("=")) {
            key->defaultValue.emplace();
            if (!StringValue(&*key->defaultValue)) return false;
        }
        if (!m_has || !m_token.Is("{")) return true;
        Advance();
        while (m_has && !m_token.Is("}")) {
            if (m_token.Is("val")) {
                Advance();
                ScriptValue value;
                if (!Name(&value.name) || !StringValue(&value.text)) return false;
                key->values.push_back(std::move(value));
                continue;
            }
            key->subkeys.emplace_back();
            if (!Key(&key->subkeys.back(), depth + 1)) return false;
        }
        return Expect("}");
    }

    Lexer m_lexer;
    Token m_token;
    bool m_has = false;
    bool m_broken = false;
};

}  // namespace

HRESULT ExpandReplacements(std::string_view text, const Replacements& table, std::string* out) {
    out->clear();
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '%') {
            *out += text[at];
            continue;
        }
        const std::size_t end = text.find('%', at + 1);
        if (end == std::string_view::npos) return DISP_E_EXCEPTION;
        const std::string_view name = text.substr(at + 1, end - at - 1);
        if (name.empty()) {
            *out += '%';
        } else {
            const std::string* replacement = FindReplacement(table, name);
            if (name.size() > kMaxReplacementName || replacement == nullptr) {
                return DISP_E_EXCEPTION;
            }
            *out += *replacement;
        }
        at = end;
    }
    return S_OK;
}

HRESULT ReadRegistryScript(std::string_view text, RegistryScript* script, int* where) {
    script->clear();
    Reader reader(text);
    if (reader.Script(script)) return S_OK;
    if (where != nullptr) *where = reader.Line();
    script->clear();
    return DISP_E_EXCEPTION;
}

}  // namespace fybootp::host
