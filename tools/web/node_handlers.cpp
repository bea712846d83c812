#include "tools/web/api_handlers.h"

#include <algorithm>
#include <set>

#include "tools/client/address_args.h"
#include "tools/client/next_free_address.h"
#include "tools/client/node_csv.h"
#include "tools/web/api_answers.h"

namespace fybootp::web {
namespace {

constexpr std::size_t kPageLimit = 500;

std::string MacField(const FormFields& form) {
    const std::string text = form.Get("mac");
    std::string why;
    const auto mac = tools::ParseMac(text, &why);
    if (!mac) throw InputError{"mac", (text.empty() ? "(empty)" : text) + ": " + why};
    return *mac;
}

std::int32_t IpField(const FormFields& form) {
    const std::string text = form.Get("ip");
    std::string why;
    const auto ip = tools::ParseIpv4(text, &why);
    if (!ip) throw InputError{"ip", (text.empty() ? "(empty)" : text) + ": " + why};
    return *ip;
}

std::string FormatField(const FormFields& query) {
    const std::string format = query.Get("format");
    if (format != "xml" && format != "csv") {
        throw InputError{"format", "format must be xml or csv, not '" + format + "'"};
    }
    return format;
}

nlohmann::json NodeJson(const tools::NodeRow& row, const std::string& displayMac) {
    return {{"mac", displayMac}, {"ip", row.ipAddr}};
}

// The change is made: the table is read again before the answer, so that
// the page's next request shows it. A read that fails leaves the change
// made and the table to be read again later.
void TableChanged(WebContext& context) {
    try {
        context.nodes.Refresh(context.server);
    } catch (const tools::Failure&) {
        context.nodes.MarkStale();
    }
}

Response Added(HRESULT status, WebContext& context, bool fromNewList) {
    TableChanged(context);
    context.events.Publish(Change::kNodes);
    if (fromNewList) context.events.Publish(Change::kNew);
    return StatusAnswer(status);
}

}  // namespace

std::size_t CountField(const FormFields& fields, const std::string& name, std::size_t fallback,
                       std::size_t max) {
    if (!fields.Has(name)) return fallback;
    const std::string text = fields.Get(name);
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        throw InputError{name, name + " must be a number, not '" + text + "'"};
    }
    return std::min<std::size_t>(std::stoul(text), max);
}

Response GetNodes(const Call& call, WebContext& context) {
    const std::size_t offset = CountField(call.query, "offset", 0, 1000000000);
    const std::size_t limit = CountField(call.query, "limit", 50, kPageLimit);
    const auto table = context.nodes.Get(context.server);
    const NodePage page = SelectNodes(*table, call.query.Get("filter"), offset, limit);
    nlohmann::json rows = nlohmann::json::array();
    for (const std::size_t i : page.rows) rows.push_back(NodeJson(table->rows[i], table->displayMacs[i]));
    return JsonAnswer(
        {{"total", page.total}, {"matched", page.matched}, {"offset", offset}, {"rows", rows}});
}

Response AddNode(const Call& call, WebContext& context) {
    const std::string mac = MacField(call.form);
    const std::int32_t ip = IpField(call.form);
    return Added(context.server.Add(mac, ip), context, false);
}

Response AssignNewDevice(const Call& call, WebContext& context) {
    const std::string mac = MacField(call.form);
    const std::int32_t ip = IpField(call.form);
    return Added(context.server.Assign(mac, ip), context, true);
}

Response DeleteNode(const Call& call, WebContext& context) {
    const std::string mac = MacField(call.form);
    const HRESULT status = context.server.Delete(mac);
    TableChanged(context);
    context.events.Publish(Change::kNodes);
    return StatusAnswer(status);
}

Response ExportNodes(const Call& call, WebContext& context) {
    const std::string format = FormatField(call.query);
    Response response;
    if (format == "xml") {
        response.body = context.server.NodesXml();
        response.contentType = "application/xml";
        response.headers.emplace_back("Content-Disposition",
                                      "attachment; filename=\"FyBootpInfo.xml\"");
    } else {
        response.body = tools::NodesCsv(context.nodes.Get(context.server)->rows);
        response.contentType = "text/csv";
        response.headers.emplace_back("Content-Disposition", "attachment; filename=\"nodes.csv\"");
    }
    return response;
}

Response ImportNodes(const Call& call, WebContext& context) {
    const std::string format = FormatField(call.query);
    std::string text;
    std::size_t count = 0;
    if (format == "csv") {
        std::vector<std::string> faults;
        const auto rows = tools::ReadNodesCsv(call.request.body, &faults);
        if (!rows) {
            std::string why;
            for (const std::string& fault : faults) why += (why.empty() ? "" : "; ") + fault;
            throw InputError{"file", why};
        }
        text = tools::BootpInfosText(*rows);
        count = rows->size();
    } else {
        // Checked here so that a file that is no XML at all is refused with
        // the file named; the server checks the rest.
        const std::optional<std::size_t> rows = tools::TableRowsIfLoads(call.request.body);
        if (!rows) throw InputError{"file", "the file is not XML that loads"};
        text = call.request.body;
        count = *rows;
    }
    context.server.PutNodesXml(text);
    TableChanged(context);
    context.events.Publish(Change::kNodes);
    return JsonAnswer({{"status", "S_OK"}, {"rows", count}});
}

Response GetNewDevices(const Call&, WebContext& context) {
    const std::vector<tools::NodeRow> fresh = tools::ReadNodes(context.server.NewMacXml());
    const tools::HostIdentity host = tools::ReadHost(context.server.HostXml());
    const auto table = context.nodes.Get(context.server);
    const tools::FreeAddresses free = tools::NextFreeAddresses(host, table->rows, fresh.size());
    nlohmann::json rows = nlohmann::json::array();
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        rows.push_back({{"mac", tools::MacDisplay(fresh[i].macAddr)},
                        {"suggested", i < free.addresses.size() ? free.addresses[i] : ""}});
    }
    return JsonAnswer({{"rows", rows}, {"shortfall", free.shortfall}});
}

}  // namespace fybootp::web
