// Reads and writes the text of a hive file. The format, version 1:
//
//   file     = "FyBootp registry 1" LF { record LF } "end" LF
//   record   = "key" { SP string }         a key, by its full path from the
//                                          hive's root; "key" alone is the root
//            | "sz" SP string SP string    a REG_SZ value: name, text
//            | "dword" SP string SP number a REG_DWORD value: name, decimal
//   string   = DQUOTE { byte | escape } DQUOTE
//   escape   = "\\" | "\"" | "\n" | "\r" | "\t" | "\x" HEXDIG HEXDIG
//
// A byte inside a string is any byte except '"', '\', the control bytes
// 0x00-0x1F and 0x7F; those are written as escapes, so every record is one
// line and no name or text can end a record or the file early. Bytes from
// 0x80 up are written as they are (UTF-8 text stays readable). NUL is never
// written, not even escaped.
//
// The root comes first; every other key follows the key that is its parent,
// and values follow the key they belong to. The writer emits keys depth
// first, subkeys in enumeration order, values in their own order. The final
// "end" line tells a complete file from a cut one.
//
// Example:
//   FyBootp registry 1
//   key
//   key "CLSID"
//   key "CLSID" "{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}"
//   sz "" "FyBootpServer Class"
//   dword "Flags" 0
//   end

#include "platform/registry/hive_text.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace fybootp::registry {
namespace {

constexpr std::string_view kHeader = "FyBootp registry 1";
constexpr std::string_view kHexDigits = "0123456789abcdef";

void AppendQuoted(std::string_view text, std::string& out) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    out += "\\x";
                    out += kHexDigits[byte >> 4];
                    out += kHexDigits[byte & 0x0F];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

void AppendKey(const Key& key, std::vector<const std::string*>& path, std::string& out) {
    out += "key";
    for (const std::string* name : path) {
        out += ' ';
        AppendQuoted(*name, out);
    }
    out += '\n';
    for (const Value& value : key.values) {
        out += value.type == REG_DWORD ? "dword " : "sz ";
        AppendQuoted(value.name, out);
        out += ' ';
        if (value.type == REG_DWORD) {
            out += std::to_string(value.number);
        } else {
            AppendQuoted(value.text, out);
        }
        out += '\n';
    }
    for (const auto& entry : key.subkeys) {
        path.push_back(&entry.second->name);
        AppendKey(*entry.second, path, out);
        path.pop_back();
    }
}

int HexValue(char c) {
    const std::size_t at = kHexDigits.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The fields of one record line, taken from left to right.
class LineReader {
public:
    explicit LineReader(std::string_view line) : m_line(line) {}

    bool AtEnd() const { return m_pos == m_line.size(); }

    std::string_view Word() {
        const std::size_t end = std::min(m_line.find(' ', m_pos), m_line.size());
        const std::string_view word = m_line.substr(m_pos, end - m_pos);
        m_pos = end;
        return word;
    }

    bool Space() { return Take(' '); }

    bool Quoted(std::string* out) {
        out->clear();
        if (!Take('"')) {
            return false;
        }
        while (m_pos < m_line.size()) {
            const char c = m_line[m_pos++];
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"') {
                return true;
            }
            if (byte < 0x20 || byte == 0x7F) {
                return false;
            }
            if (c != '\\') {
                *out += c;
            } else if (!Escape(out)) {
                return false;
            }
        }
        return false;  // no closing quote
    }

    bool Number(DWORD* value) {
        const std::string_view digits = Word();
        if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) {
            return false;
        }
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), *value);
        return error == std::errc() && end == digits.data() + digits.size();
    }

private:
    bool Take(char c) {
        if (m_pos < m_line.size() && m_line[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }

    bool Escape(std::string* out) {
        if (m_pos >= m_line.size()) {
            return false;
        }
        switch (m_line[m_pos++]) {
            case '\\':
                *out += '\\';
                return true;
            case '"':
                *out += '"';
                return true;
            case 'n':
                *out += '\n';
                return true;
            case 'r':
                *out += '\r';
                return true;
            case 't':
                *out += '\t';
                return true;
            case 'x':
                break;
            default:
                return false;
        }
        if (m_line.size() - m_pos < 2) {
            return false;
        }
        const int high = HexValue(m_line[m_pos]);
        const int low = HexValue(m_line[m_pos + 1]);
        m_pos += 2;
        if (high < 0 || low < 0 || (high == 0 && low == 0)) {
            return false;
        }
        *out += static_cast<char>(high * 16 + low);
        return true;
    }

    std::string_view m_line;
    std::size_t m_pos = 0;
};

// Adds the key a "key" record names; its parent must be there already and
// the key itself must not.
Key* ReadKeyRecord(LineReader& reader, Key& root, bool rootSeen) {
    std::vector<std::string> path;
    while (!reader.AtEnd()) {
        std::string name;
        if (!reader.Space() || !reader.Quoted(&name) || !IsValidKeyName(name) ||
            path.size() >= kMaxKeyDepth) {
            return nullptr;
        }
        path.push_back(std::move(name));
    }
    if (path.empty()) {
        return rootSeen ? nullptr : &root;
    }
    Key* parent = rootSeen ? FindPath(root, std::span(path).first(path.size() - 1)) : nullptr;
    if (parent == nullptr) {
        return nullptr;
    }
    bool created = false;
    Key& key = parent->EnsureSubkey(path.back(), &created);
    return created ? &key : nullptr;
}

bool ReadValueRecord(LineReader& reader, DWORD type, Key& key) {
    Value value;
    value.type = type;
    if (!reader.Space() || !reader.Quoted(&value.name) || !IsValidValueName(value.name) ||
        key.FindValue(value.name) != nullptr || !reader.Space()) {
        return false;
    }
    const bool ok = type == REG_DWORD ? reader.Number(&value.number) : reader.Quoted(&value.text);
    if (!ok || !reader.AtEnd()) {
        return false;
    }
    key.values.push_back(std::move(value));
    return true;
}

bool ReadRecords(std::string_view text, Key& root) {
    std::size_t pos = 0;
    std::size_t lineNumber = 0;
    Key* current = nullptr;  // the key the next values belong to
    bool ended = false;
    while (pos < text.size()) {
        const std::size_t newline = text.find('\n', pos);
        if (newline == std::string_view::npos || ended) {
            return false;  // a cut last line, or anything after "end"
        }
        const std::string_view line = text.substr(pos, newline - pos);
        pos = newline + 1;
        if (lineNumber++ == 0) {
            if (line != kHeader) {
                return false;
            }
            continue;
        }
        LineReader reader(line);
        const std::string_view word = reader.Word();
        if (word == "key") {
            current = ReadKeyRecord(reader, root, current != nullptr);
            if (current == nullptr) {
                return false;
            }
        } else if (word == "sz" || word == "dword") {
            if (current == nullptr ||
                !ReadValueRecord(reader, word == "sz" ? REG_SZ : REG_DWORD, *current)) {
                return false;
            }
        } else if (word == "end" && reader.AtEnd() && current != nullptr) {
            ended = true;
        } else {
            return false;
        }
    }
    return ended;
}

}  // namespace

std::string WriteHiveText(const Key& root) {
    std::string out(kHeader);
    out += '\n';
    std::vector<const std::string*> path;
    AppendKey(root, path, out);
    out += "end\n";
    return out;
}

bool ReadHiveText(std::string_view text, Key* root) {
    *root = Key{};
    if (!ReadRecords(text, *root)) {
        *root = Key{};
        return false;
    }
    return true;
}

}  // namespace fybootp::registry
