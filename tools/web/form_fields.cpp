#include "tools/web/form_fields.h"

namespace fybootp::web {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> DecodeFormText(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\0') return std::nullopt;
        decoded += c;
    }
    return decoded;
}

std::optional<FormFields> FormFields::Parse(std::string_view text, std::string* why) {
    FormFields form;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('&', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view pair = text.substr(start, end - start);
        start = end + 1;
        // "a=1&&b=2" and a trailing '&' are what browsers never send, but
        // they are unambiguous.
        if (pair.empty()) continue;
        const std::size_t equals = pair.find('=');
        const auto name = DecodeFormText(pair.substr(0, equals));
        const auto value = DecodeFormText(
            equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
        if (!name || !value) {
            *why = "a field is not %-encoded properly";
            return std::nullopt;
        }
        if (name->empty()) {
            *why = "a field has no name";
            return std::nullopt;
        }
        if (!form.m_fields.emplace(*name, *value).second) {
            *why = "field '" + *name + "' is given twice";
            return std::nullopt;
        }
    }
    return form;
}

std::string FormFields::Get(const std::string& name) const {
    const auto found = m_fields.find(name);
    return found == m_fields.end() ? std::string() : found->second;
}

}  // namespace fybootp::web
