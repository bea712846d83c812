#pragma once
// The node rows of a document, read into a table and written from one.

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/bootp_types.h"
#include "document/dom_routines.h"
#include "document/info_text.h"

namespace fybootp {

using RowStep = std::function<void(const BootpNode&)>;

// Reads every valid row of "FyBootpInfo/Nodes/Node" into table and returns
// how many. A Node is a row when it has an IpAddr child (any text: its
// inet_addr value) and a MacAddr child whose text is a hardware address.
// Each row goes in before the first row of table whose address compares
// greater byte by byte, so a table built only from here is ascending, with
// equal addresses in document order. step, if given, runs for each row in
// document order.
std::size_t ReadNodeRows(const Document& document, std::vector<BootpNode>& table,
                         const RowStep& step = {});

// The row one Node element gives, as ReadNodeRows reads it; none when it is
// not a row.
std::optional<BootpNode> ReadNodeRow(Node node);

// Inserts rows into table as ReadNodeRows does, one after another in the
// order given, in O(n log n): sorting is stable, so equal addresses keep
// their order, and each row lands before the first greater row of table.
void InsertRowsInOrder(std::vector<BootpNode>& table, std::vector<BootpNode> rows);

// Appends one Node per row to nodes, in order: with withAddress an IpAddr
// then a MacAddr, without it only the MacAddr.
void WriteNodeRows(Node nodes, std::span<const BootpNode> rows, bool withAddress);
// The same as text: one Nodes element holding the rows.
void WriteNodeRows(InfoText& text, std::span<const BootpNode> rows, bool withAddress);

}  // namespace fybootp
