#include "tools/fybootpctl/output.h"

#include <algorithm>
#include <cstdio>

#include "tools/client/address_args.h"
#include "tools/fybootpctl/terminal_text.h"

namespace fybootp::tools {

std::string AlignedColumns(std::vector<std::vector<std::string>> rows) {
    for (auto& row : rows) {
        for (std::string& cell : row) cell = TerminalText(cell);
    }
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::string text;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            text += row[i];
            if (i + 1 < row.size()) text += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        text += '\n';
    }
    return text;
}

nlohmann::json NodesJson(const std::vector<NodeRow>& rows) {
    nlohmann::json nodes = nlohmann::json::array();
    for (const NodeRow& row : rows) nodes.push_back({{"mac", row.macAddr}, {"ip", row.ipAddr}});
    return {{"nodes", nodes}};
}

nlohmann::json NewJson(const std::vector<NodeRow>& rows) {
    nlohmann::json macs = nlohmann::json::array();
    for (const NodeRow& row : rows) macs.push_back({{"mac", row.macAddr}});
    return {{"new", macs}};
}

nlohmann::json LogRowJson(const LogRow& row) {
    return {{"time", row.timeStamp}, {"mac", row.macAddr}, {"message", row.message}};
}

nlohmann::json LogJson(const std::vector<LogRow>& rows) {
    nlohmann::json log = nlohmann::json::array();
    for (const LogRow& row : rows) log.push_back(LogRowJson(row));
    return {{"log", log}};
}

nlohmann::json HostJson(const HostIdentity& host) {
    return {{"override", host.override},
            {"name", host.name},
            {"ip", host.ipAddr},
            {"mask", host.subnetMask},
            {"router", host.defaultGateway}};
}

namespace {

std::string g_jsonHost;

nlohmann::json Labelled(const nlohmann::json& document) {
    if (g_jsonHost.empty()) return document;
    if (document.is_object() && document.size() == 1 && document.contains("error")) {
        nlohmann::json failure = document;
        failure["host"] = g_jsonHost;
        return failure;
    }
    return {{"host", g_jsonHost}, {"result", document}};
}

}  // namespace

void LabelJsonWith(const std::string& host) { g_jsonHost = host; }

void PrintJson(const nlohmann::json& document) {
    // Texts from the network may hold bytes that are not UTF-8; they are
    // replaced rather than ending the output.
    PrintText(TerminalJson(
        Labelled(document).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)));
}

void PrintXml(const std::string& xml) { PrintText(TerminalXml(xml)); }

void PrintText(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintNodes(const std::string& xml, Format format) {
    if (format == Format::kXml) return PrintXml(xml);
    const std::vector<NodeRow> rows = ReadNodes(xml);
    if (format == Format::kJson) return PrintJson(NodesJson(rows));
    if (rows.empty()) return PrintText("no nodes");
    std::vector<std::vector<std::string>> cells{{"MAC", "IP"}};
    for (const NodeRow& row : rows) cells.push_back({MacDisplay(row.macAddr), row.ipAddr});
    PrintText(AlignedColumns(cells));
}

void PrintNew(const std::string& xml, Format format) {
    if (format == Format::kXml) return PrintXml(xml);
    const std::vector<NodeRow> rows = ReadNodes(xml);
    if (format == Format::kJson) return PrintJson(NewJson(rows));
    if (rows.empty()) return PrintText("no new devices");
    std::vector<std::vector<std::string>> cells;
    for (const NodeRow& row : rows) cells.push_back({MacDisplay(row.macAddr)});
    PrintText(AlignedColumns(cells));
}

namespace {

// Text content of an element on a line of its own: the markup characters
// and the white space that would break the line, as references.
std::string XmlText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '\n':
                out += "&#xA;";
                break;
            case '\r':
                out += "&#xD;";
                break;
            case '\t':
                out += "&#x9;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

void PrintLogRow(const LogRow& row, Format format) {
    if (format == Format::kJson) return PrintJson(LogRowJson(row));
    // The Log element of LogEntries, one to a line.
    if (format == Format::kXml) {
        return PrintXml("<Log><TimeStamp>" + XmlText(row.timeStamp) + "</TimeStamp><MacAddr>" +
                        XmlText(row.macAddr) + "</MacAddr><Message>" + XmlText(row.message) +
                        "</Message></Log>");
    }
    PrintText(AlignedColumns({{row.timeStamp, MacDisplay(row.macAddr), row.message}}));
}

void PrintLogGap(std::uint32_t missing, Format format) {
    if (format == Format::kJson) return PrintJson({{"gap", missing}});
    const std::string text = std::to_string(missing) + " entries may be missing";
    PrintText(format == Format::kXml ? "<!-- " + text + " -->" : "-- " + text + " --");
}

void PrintLog(const std::string& xml, Format format) {
    if (format == Format::kXml) return PrintXml(xml);
    const std::vector<LogRow> rows = ReadLog(xml);
    if (format == Format::kJson) return PrintJson(LogJson(rows));
    if (rows.empty()) return PrintText("the log is empty");
    std::vector<std::vector<std::string>> cells;
    for (const LogRow& row : rows) {
        cells.push_back({row.timeStamp, MacDisplay(row.macAddr), row.message});
    }
    PrintText(AlignedColumns(cells));
}

void PrintHost(const std::string& xml, Format format) {
    if (format == Format::kXml) return PrintXml(xml);
    const HostIdentity host = ReadHost(xml);
    if (format == Format::kJson) return PrintJson(HostJson(host));
    PrintText(AlignedColumns(
        {{"name", host.name},
         {"ip", host.ipAddr},
         {"mask", host.subnetMask},
         {"router", host.defaultGateway},
         {"override", host.override ? "on (fixed by the operator)" : "off (detected at start)"}}));
}

}  // namespace fybootp::tools
