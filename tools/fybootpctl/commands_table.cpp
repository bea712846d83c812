#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "tools/client/address_args.h"
#include "tools/fybootpctl/commands.h"
#include "tools/client/client_failure.h"
#include "tools/client/server_session.h"

namespace fybootp::tools {
namespace {

std::string ReadInput(const std::string& file) {
    if (file == "-") {
        return std::string(std::istreambuf_iterator<char>(std::cin), {});
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) throw UsageFailure{"import: cannot read '" + file + "'"};
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A file gets the server's text as it is; only what goes to standard
// output, which may be a terminal, is escaped.
void WriteFile(const std::string& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!text.empty() && text.back() != '\n') out << '\n';
    out.close();
    if (!out) throw UsageFailure{"export: cannot write '" + file + "'"};
}

std::string Table(ServerSession& session) {
    return session.Text(&IFyBootpServer::get_BootpInfosXml, "reading the node table");
}

std::string NewList(ServerSession& session) {
    return session.Text(&IFyBootpServer::get_NewMacAddresses, "reading the new devices");
}

bool Lists(const std::vector<NodeRow>& rows, const std::string& mac) {
    for (const NodeRow& row : rows) {
        if (row.macAddr == mac) return true;
    }
    return false;
}

}  // namespace

void ShowNodes(Format format) {
    auto session = ServerSession::Open();
    PrintNodes(Table(*session), format);
}

void AddNode(const NodeAddress& node, Format format) {
    auto session = ServerSession::Open();
    const std::string ip = Ipv4Text(node.ipAddr);
    session->Add(node.mac, node.ipAddr, "adding " + MacDisplay(node.mac));
    if (format == Format::kXml) return PrintXml(Table(*session));
    if (format == Format::kJson) return PrintJson({{"added", {{"mac", node.mac}, {"ip", ip}}}});
    PrintText("added " + MacDisplay(node.mac) + " " + ip);
}

void DeleteNode(const std::string& mac, Format format) {
    auto session = ServerSession::Open();
    const std::string what = "deleting " + MacDisplay(mac);
    if (session->Delete(mac, what) == S_FALSE) {
        throw Failure{what, S_FALSE, Stage::kCall, "no node has this hardware address"};
    }
    if (format == Format::kXml) return PrintXml(Table(*session));
    if (format == Format::kJson) return PrintJson({{"deleted", {{"mac", mac}}}});
    PrintText("deleted " + MacDisplay(mac));
}

void ImportTable(const std::string& file, Format format) {
    const std::string text = ReadInput(file);
    // The server takes a text that does not load as "change nothing" and
    // says S_OK; the operator is told instead.
    const std::optional<std::size_t> rows = TableRowsIfLoads(text);
    if (!rows) {
        throw UsageFailure{"import: '" + file + "' is not an XML text that the server would load"};
    }
    auto session = ServerSession::Open();
    session->PutText(&IFyBootpServer::put_BootpInfosXml, text, "importing the node table");
    if (format == Format::kXml) return PrintXml(Table(*session));
    // The put takes exactly the rows counted: the table is not read back
    // (a whole second trip of the table through the bus).
    const std::size_t count = *rows;
    if (format == Format::kJson) return PrintJson({{"imported", count}});
    PrintText("imported " + std::to_string(count) + (count == 1 ? " node" : " nodes"));
}

void ExportTable(const std::string& file, Format format) {
    auto session = ServerSession::Open();
    const std::string table = Table(*session);
    const std::vector<NodeRow> rows = ReadNodes(table);
    if (file == "-") return format == Format::kJson ? PrintJson(NodesJson(rows)) : PrintXml(table);
    WriteFile(file,
              format == Format::kJson
                  ? NodesJson(rows).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                  : table);
    PrintText("exported " + std::to_string(rows.size()) +
              (rows.size() == 1 ? " node to " : " nodes to ") + file);
}

void ShowNew(Format format) {
    auto session = ServerSession::Open();
    PrintNew(NewList(*session), format);
}

void AssignNew(const NodeAddress& node, Format format) {
    auto session = ServerSession::Open();
    const bool wasNew = Lists(ReadNodes(NewList(*session)), node.mac);
    const std::string what = "assigning " + Ipv4Text(node.ipAddr) + " to " + MacDisplay(node.mac);
    session->Add(node.mac, node.ipAddr, what);
    // Adding one node leaves the new-device list alone; taking in the whole
    // table is what clears listed addresses from it, so the table is put
    // back as it now stands.
    session->PutText(&IFyBootpServer::put_BootpInfosXml, Table(*session), what);
    const std::string after = NewList(*session);
    const std::vector<NodeRow> left = ReadNodes(after);
    if (format == Format::kXml) return PrintXml(after);
    if (format == Format::kJson) {
        nlohmann::json document = NewJson(left);
        document["assigned"] = {
            {"mac", node.mac}, {"ip", Ipv4Text(node.ipAddr)}, {"wasNew", wasNew}};
        return PrintJson(document);
    }
    std::string text = "assigned " + Ipv4Text(node.ipAddr) + " to " + MacDisplay(node.mac) + "\n";
    if (!wasNew) {
        text += MacDisplay(node.mac) + " was not in the new-device list\n";
    } else if (!Lists(left, node.mac)) {
        text += MacDisplay(node.mac) + " left the new-device list\n";
    }
    PrintText(text + "new devices now: " + std::to_string(left.size()));
    if (!left.empty()) PrintNew(after, Format::kHuman);
}

}  // namespace fybootp::tools
