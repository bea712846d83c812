#pragma once
// application/x-www-form-urlencoded, as POST bodies and query strings carry
// it. Parsed strictly: a broken %-escape, a NUL byte or a field given twice
// makes the whole text malformed, so that no two readers of one request
// can disagree about what it asked for.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace fybootp::web {

class FormFields {
public:
    // nullopt and the reason in *why for a malformed text.
    static std::optional<FormFields> Parse(std::string_view text, std::string* why);

    bool Has(const std::string& name) const { return m_fields.count(name) != 0; }
    // "" when absent.
    std::string Get(const std::string& name) const;
    const std::map<std::string, std::string>& All() const { return m_fields; }

private:
    std::map<std::string, std::string> m_fields;
};

// The %-decoding of one name or value ('+' is a space); nullopt for a
// broken escape or a NUL byte.
std::optional<std::string> DecodeFormText(std::string_view text);

}  // namespace fybootp::web
