#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "tools/client/address_args.h"
#include "tools/client/client_failure.h"
#include "tools/client/next_free_address.h"
#include "tools/client/node_csv.h"
#include "tools/client/server_session.h"
#include "tools/fybootpctl/commands.h"
#include "tools/fybootpctl/terminal_text.h"

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

std::string CountOf(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " node" : " nodes");
}

// `count` is the rows the put takes, from the client's own check of the
// text: the table is not read back, a second trip of it through the bus.
void ReportImport(ServerSession& session, std::size_t count, Format format) {
    if (format == Format::kXml) return PrintXml(Table(session));
    if (format == Format::kJson) return PrintJson({{"imported", count}});
    PrintText("imported " + CountOf(count));
}

// The lowest free address of the server's subnet as the server has it now.
std::string NextAddress(ServerSession& session, const std::string& what) {
    const HostIdentity host =
        ReadHost(session.Text(&IFyBootpServer::get_HostInfoXml, "reading the host identity"));
    const FreeAddresses found = NextFreeAddresses(host, ReadNodes(Table(session)), 1);
    if (found.addresses.empty()) throw Failure{what, S_FALSE, Stage::kCall, found.shortfall};
    return found.addresses.front();
}

void Assign(ServerSession& session, const NodeAddress& node, bool chosen, Format format) {
    const bool wasNew = Lists(ReadNodes(NewList(session)), node.mac);
    const std::string what = "assigning " + Ipv4Text(node.ipAddr) + " to " + MacDisplay(node.mac);
    session.Assign(node.mac, node.ipAddr, what);
    const std::string after = NewList(session);
    const std::vector<NodeRow> left = ReadNodes(after);
    if (format == Format::kXml) return PrintXml(after);
    if (format == Format::kJson) {
        nlohmann::json document = NewJson(left);
        document["assigned"] = {
            {"mac", node.mac}, {"ip", Ipv4Text(node.ipAddr)}, {"wasNew", wasNew}};
        return PrintJson(document);
    }
    std::string text = "assigned " + Ipv4Text(node.ipAddr) + " to " + MacDisplay(node.mac) +
                       (chosen ? " (the next free address)\n" : "\n");
    if (!wasNew) {
        text += MacDisplay(node.mac) + " was not in the new-device list\n";
    } else if (!Lists(left, node.mac)) {
        text += MacDisplay(node.mac) + " left the new-device list\n";
    }
    PrintText(text + "new devices now: " + std::to_string(left.size()));
    if (!left.empty()) PrintNew(after, Format::kHuman);
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
    ReportImport(*session, *rows, format);
}

void ImportCsv(const std::string& file, Format format) {
    const std::string text = ReadInput(file);
    const std::string name = file == "-" ? std::string("standard input") : "'" + file + "'";
    std::vector<std::string> faults;
    const std::optional<std::vector<NodeRow>> rows = ReadNodesCsv(text, &faults);
    if (!rows) {
        std::string message;
        for (const std::string& fault : faults) {
            message += "import: " + name + ": " + TerminalText(fault) + "\n";
        }
        throw UsageFailure{message + "import: nothing was changed"};
    }
    // The whole table in one put, as the XML import: the server takes all
    // of it or, for a text over its bounds, nothing; the second is told.
    const std::string xml = BootpInfosText(*rows);
    const std::optional<std::size_t> taken = TableRowsIfLoads(xml);
    if (!taken) {
        throw UsageFailure{"import: " + name + " has " + CountOf(rows->size()) +
                           ", more than the server takes in one text; nothing was changed"};
    }
    auto session = ServerSession::Open();
    session->PutText(&IFyBootpServer::put_BootpInfosXml, xml, "importing the node table");
    ReportImport(*session, *taken, format);
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
    PrintText("exported " + CountOf(rows.size()) + " to " + file);
}

void ExportCsv(const std::string& file) {
    auto session = ServerSession::Open();
    const std::vector<NodeRow> rows = ReadNodes(Table(*session));
    // Hex digits and dotted addresses only, as the server writes them: safe
    // on a terminal as they are.
    if (file == "-") return PrintText(NodesCsv(rows));
    WriteFile(file, NodesCsv(rows));
    PrintText("exported " + CountOf(rows.size()) + " to " + file);
}

void ShowNew(Format format) {
    auto session = ServerSession::Open();
    PrintNew(NewList(*session), format);
}

void AssignNew(const NodeAddress& node, Format format) {
    auto session = ServerSession::Open();
    Assign(*session, node, false, format);
}

void ShowNext(Format format) {
    auto session = ServerSession::Open();
    const std::string ip = NextAddress(*session, "choosing the next free address");
    if (format == Format::kJson) return PrintJson({{"next", ip}});
    PrintText(ip);
}

// Chosen and given in one session; another client that takes the same
// address in between makes two nodes share it, as two operators typing it
// would.
void AssignNext(const std::string& mac, Format format) {
    auto session = ServerSession::Open();
    const std::string ip = NextAddress(*session, "choosing an address for " + MacDisplay(mac));
    std::string why;
    Assign(*session, {mac, ParseIpv4(ip, &why).value()}, true, format);
}

}  // namespace fybootp::tools
