#include "document/node_rows.h"

#include <algorithm>

#include "document/dom_error.h"
#include "document/text_forms.h"
#include "platform/net/address_text.h"

namespace fybootp {
namespace {

bool ByAddress(const BootpNode& a, const BootpNode& b) {
    return MacKey(a.macAddr) < MacKey(b.macAddr);
}

}  // namespace

std::optional<BootpNode> ReadNodeRow(Node node) {
    const Node ip = SelectSingleNode(node, "IpAddr");
    if (ip == nullptr) return std::nullopt;
    const Ipv4Address address = net::InetAddr(NodeText(ip));
    const Node mac = SelectSingleNode(node, "MacAddr");
    if (mac == nullptr) return std::nullopt;
    const std::optional<MacAddress> hardware = ReadHardwareAddress(NodeText(mac));
    if (!hardware) return std::nullopt;
    return BootpNode{address, *hardware};
}

std::size_t ReadNodeRows(const Document& document, std::vector<BootpNode>& table,
                         const RowStep& step) {
    const std::vector<Node> nodes =
        SelectNodes(AsNode(CheckRequired(document.get())), "FyBootpInfo/Nodes/Node");
    std::vector<BootpNode> rows;
    rows.reserve(nodes.size());
    for (const Node node : nodes) {
        const std::optional<BootpNode> row = ReadNodeRow(node);
        if (!row) continue;
        rows.push_back(*row);
        if (step) step(*row);
    }
    const std::size_t count = rows.size();
    InsertRowsInOrder(table, std::move(rows));
    return count;
}

void InsertRowsInOrder(std::vector<BootpNode>& table, std::vector<BootpNode> rows) {
    std::stable_sort(rows.begin(), rows.end(), ByAddress);
    if (table.empty()) {
        table = std::move(rows);
        return;
    }
    // Inserting one by one puts a row before the first row of the table
    // greater than it: the first position where the running maximum of the
    // old rows exceeds it (new rows inserted before it are never greater).
    // The table need not be sorted: rows appended by node editing may stand
    // anywhere.
    std::vector<BootpNode> merged;
    merged.reserve(table.size() + rows.size());
    std::uint64_t runningMax = 0;
    auto next = rows.begin();
    for (const BootpNode& old : table) {
        runningMax = std::max(runningMax, MacKey(old.macAddr));
        while (next != rows.end() && MacKey(next->macAddr) < runningMax) merged.push_back(*next++);
        merged.push_back(old);
    }
    merged.insert(merged.end(), next, rows.end());
    table = std::move(merged);
}

void WriteNodeRows(Node nodes, std::span<const BootpNode> rows, bool withAddress) {
    for (const BootpNode& row : rows) {
        const Node node = AppendElement(nodes, "Node");
        if (withAddress) AppendTextElement(node, "IpAddr", net::InetNtoa(row.ipAddr));
        AppendHexElement(node, "MacAddr", row.macAddr);
    }
}

void WriteNodeRows(InfoText& text, std::span<const BootpNode> rows, bool withAddress) {
    text.Open("Nodes");
    for (const BootpNode& row : rows) {
        text.Open("Node");
        if (withAddress) text.AddressElement("IpAddr", row.ipAddr);
        text.HexElement("MacAddr", row.macAddr);
        text.Close("Node");
    }
    text.Close("Nodes");
}

}  // namespace fybootp
