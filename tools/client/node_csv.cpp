#include "tools/client/node_csv.h"

#include <algorithm>
#include <cctype>
#include <unordered_map>

#include "tools/client/address_args.h"

namespace fybootp::tools {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
// A field quoted in a message is cut here: a line may be anything at all.
constexpr std::size_t kShownField = 40;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string Shown(std::string_view field) {
    if (field.size() <= kShownField) return std::string(field);
    std::string shown(field.substr(0, kShownField));
    shown += "...";
    return shown;
}

// Lines end at LF, CRLF or a lone CR (what older Mac spreadsheets save).
std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n' && text[i] != '\r') continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// The first ',' or ';' outside quotes decides; a line with neither leaves ','.
char SeparatorOf(std::string_view line) {
    bool quoted = false;
    for (const char c : line) {
        if (c == '"') quoted = !quoted;
        if (!quoted && (c == ',' || c == ';')) return c;
    }
    return ',';
}

// One quoted field from just past its opening quote; `at` ends past the
// closing quote.
std::optional<std::string> QuotedField(std::string_view line, std::size_t& at, std::string* why) {
    std::string value;
    while (at < line.size()) {
        const char c = line[at++];
        if (c != '"') {
            value += c;
        } else if (at < line.size() && line[at] == '"') {
            value += '"';
            ++at;
        } else {
            return std::string(Trimmed(value));
        }
    }
    *why = "a quoted field is not closed";
    return std::nullopt;
}

std::optional<std::vector<std::string>> SplitFields(std::string_view line, char separator,
                                                    std::string* why) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (true) {
        while (at < line.size() && IsBlank(line[at])) ++at;
        if (at < line.size() && line[at] == '"') {
            ++at;
            std::optional<std::string> value = QuotedField(line, at, why);
            if (!value) return std::nullopt;
            while (at < line.size() && IsBlank(line[at])) ++at;
            if (at < line.size() && line[at] != separator) {
                *why = "text after a closing quote";
                return std::nullopt;
            }
            fields.push_back(std::move(*value));
        } else {
            const std::size_t end = std::min(line.find(separator, at), line.size());
            fields.emplace_back(Trimmed(line.substr(at, end - at)));
            at = end;
        }
        if (at >= line.size()) return fields;
        ++at;  // past the separator
    }
}

// Where the MAC and the IP are, and how many fields a row may fill.
struct Columns {
    std::size_t mac = 0;
    std::size_t ip = 1;
    std::size_t width = 2;
    bool named = false;  // from a header line
};

std::optional<Columns> HeaderColumns(const std::vector<std::string>& fields) {
    std::optional<std::size_t> mac, ip;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string name = Lower(fields[i]);
        std::optional<std::size_t>& column = name == "mac" ? mac : ip;
        if (name != "mac" && name != "ip") continue;
        if (column) return std::nullopt;  // named twice: not a header we understand
        column = i;
    }
    if (!mac || !ip) return std::nullopt;
    return Columns{*mac, *ip, fields.size(), true};
}

class CsvReader {
public:
    explicit CsvReader(std::vector<std::string>* faults) : m_faults(faults) {}

    std::optional<std::vector<NodeRow>> Read(std::string_view text) {
        if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
        const std::vector<std::string_view> lines = SplitLines(text);
        bool first = true;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (Trimmed(lines[i]).empty()) continue;
            if (first) m_separator = SeparatorOf(lines[i]);
            ReadLine(i + 1, lines[i], first);
            first = false;
        }
        // An empty table comes as the header alone; an empty file is more
        // likely a truncated one, and would clear the table.
        if (first) Fault("the file is empty: not even the header line mac,ip");
        if (m_faultCount > kMaxCsvFaults) {
            m_faults->push_back("... and " + std::to_string(m_faultCount - kMaxCsvFaults) +
                                " more faulty lines");
        }
        if (m_faultCount != 0) return std::nullopt;
        return std::move(m_rows);
    }

private:
    void Fault(std::string text) {
        if (++m_faultCount <= kMaxCsvFaults) m_faults->push_back(std::move(text));
    }
    void Fault(std::size_t line, const std::string& why) {
        Fault("line " + std::to_string(line) + ": " + why);
    }

    void ReadLine(std::size_t number, std::string_view line, bool first) {
        std::string why;
        const std::optional<std::vector<std::string>> fields = SplitFields(line, m_separator, &why);
        if (!fields) return Fault(number, why);
        if (std::all_of(fields->begin(), fields->end(), [](auto& f) { return f.empty(); })) return;
        if (first) {
            if (const std::optional<Columns> header = HeaderColumns(*fields)) {
                m_columns = *header;
                return;
            }
        }
        ReadRow(number, *fields);
    }

    void ReadRow(std::size_t number, const std::vector<std::string>& fields) {
        const std::string separator(1, m_separator);
        if (fields.size() <= std::max(m_columns.mac, m_columns.ip)) {
            return Fault(number,
                         m_columns.named
                             ? "fewer fields than the header names"
                             : "expected a MAC and an IP address separated by '" + separator + "'");
        }
        for (std::size_t i = m_columns.width; i < fields.size(); ++i) {
            if (!fields[i].empty()) {
                return Fault(number, m_columns.named ? "more fields than the header names"
                                                     : "more fields than a MAC and an IP address");
            }
        }
        const std::string& macText = fields[m_columns.mac];
        const std::string& ipText = fields[m_columns.ip];
        if (macText.empty()) return Fault(number, "the MAC is missing");
        if (ipText.empty()) return Fault(number, "the IP address is missing");
        std::string why;
        const std::optional<std::string> mac = ParseMac(macText, &why);
        if (!mac) return Fault(number, Shown(macText) + ": " + why);
        if (!ParseIpv4(ipText, &why)) return Fault(number, Shown(ipText) + ": " + why);
        const auto [seen, added] = m_lines.emplace(*mac, number);
        if (!added) {
            return Fault("line " + std::to_string(number) + " repeats the MAC of line " +
                         std::to_string(seen->second) + " (" + MacDisplay(*mac) + ")");
        }
        m_rows.push_back({ipText, *mac});
    }

    std::vector<std::string>* m_faults;
    std::size_t m_faultCount = 0;
    char m_separator = ',';
    Columns m_columns;
    std::unordered_map<std::string, std::size_t> m_lines;  // MAC -> the line that gave it
    std::vector<NodeRow> m_rows;
};

// Quoted only when it must be; a table from the server never needs it.
std::string Field(std::string_view text) {
    if (text.find_first_of(",;\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

}  // namespace

std::optional<std::vector<NodeRow>> ReadNodesCsv(std::string_view text,
                                                 std::vector<std::string>* faults) {
    return CsvReader(faults).Read(text);
}

std::string NodesCsv(const std::vector<NodeRow>& rows) {
    std::string csv = "mac,ip\n";
    for (const NodeRow& row : rows) {
        csv += Field(MacDisplay(row.macAddr));
        csv += ',';
        csv += Field(row.ipAddr);
        csv += '\n';
    }
    return csv;
}

}  // namespace fybootp::tools
