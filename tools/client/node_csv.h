#pragma once
// The node table as CSV, the form operators keep device lists in
// spreadsheets. fybootpctl's `export --csv` and `import --csv` and the web
// page's CSV download and upload all go through here, so a file written by
// one is read by the others.
//
// Written: a header line `mac,ip`, then one node a line as
// `02:4B:77:00:00:01,192.0.2.10`, lines ended by LF alone (every
// spreadsheet reads that, and the reader takes CRLF too).
//
// Read, so that what a spreadsheet saves is taken as it is:
// - the header is optional: a first line whose fields are named `mac` and
//   `ip` (any case, either order, other named columns ignored) is one;
// - the separator is `,` or `;` (spreadsheets in many locales save `;`),
//   whichever the first line holds first, the same for the whole file;
// - fields may be quoted ("...", a quote inside doubled), blanks around a
//   field are dropped;
// - MACs as 02:4b:77:00:00:01, 02-4B-77-00-00-01 or 024b77000001, IPv4
//   addresses dotted, as on the command line;
// - blank lines, and lines of empty fields only, are skipped; a UTF-8 BOM
//   at the start and a CR before each LF are ignored;
// - a file with no line at all is refused: the header alone is the empty
//   table, and an empty file is more likely one cut short.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/client/interface_texts.h"

namespace fybootp::tools {

// The rows, MACs in the interface's form and IPs dotted, in file order; or
// nullopt and one line per fault in *faults, as "line 3: 192.0.2.300: part 4
// is over 255" or "line 7 repeats the MAC of line 2" (at most kMaxCsvFaults,
// then "... and N more faulty lines"). Only a file without a single fault
// gives rows, so that a caller changes all or nothing.
std::optional<std::vector<NodeRow>> ReadNodesCsv(std::string_view text,
                                                 std::vector<std::string>* faults);

inline constexpr std::size_t kMaxCsvFaults = 10;

// The header line and one line per row, MACs as 02:4B:77:00:00:01.
std::string NodesCsv(const std::vector<NodeRow>& rows);

}  // namespace fybootp::tools
