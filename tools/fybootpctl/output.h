#pragma once
// How fybootpctl shows what it read: aligned text for people, one stable JSON
// document for scripts (--json; the shapes are listed in --help), or the
// interface's own XML text as the server gave it (--xml). Text from the
// server reaches standard output only through AlignedColumns, PrintJson and
// PrintXml, which escape what could forge a line (terminal_text.h).

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/client/interface_texts.h"

namespace fybootp::tools {

enum class Format { kHuman, kJson, kXml };

// Rows of cells as columns padded to their widest cell, two blanks apart;
// the last column is not padded. Each cell is shown as TerminalText.
std::string AlignedColumns(std::vector<std::vector<std::string>> rows);

nlohmann::json NodesJson(const std::vector<NodeRow>& rows);
nlohmann::json NewJson(const std::vector<NodeRow>& rows);
nlohmann::json LogRowJson(const LogRow& row);
nlohmann::json LogJson(const std::vector<LogRow>& rows);
nlohmann::json HostJson(const HostIdentity& host);

// With -H every JSON document names the machine it came from, in one shape
// for one host or several: {"host":H,"result":DOCUMENT}, and a failure
// {"host":H,"error":{...}}. "" (the default) prints documents as they are.
void LabelJsonWith(const std::string& host);

// One JSON document on a line of its own.
void PrintJson(const nlohmann::json& document);
// An XML text from the server, as TerminalXml shows it.
void PrintXml(const std::string& xml);
// fybootpctl's own text as it is, with a final newline.
void PrintText(const std::string& text);

// Each reads the interface text `xml` and prints it in `format`.
void PrintNodes(const std::string& xml, Format format);
void PrintNew(const std::string& xml, Format format);
void PrintLog(const std::string& xml, Format format);
void PrintHost(const std::string& xml, Format format);

// One log entry as `log` shows it: a line, or a JSON document on a line.
void PrintLogRow(const LogRow& row, Format format);
// Where `log --follow` may have missed entries: "-- N entries may be
// missing --", {"gap":N}, or that text as an XML comment.
void PrintLogGap(std::uint32_t missing, Format format);

}  // namespace fybootp::tools
