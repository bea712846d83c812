#include "tools/web/api_handlers.h"

#include <algorithm>
#include <cctype>

#include "tools/client/address_args.h"
#include "tools/client/interface_texts.h"
#include "tools/web/api_answers.h"

namespace fybootp::web {
namespace {

constexpr std::size_t kLogLimit = 500;
// The interface's host name field holds at most 99 bytes.
constexpr std::size_t kHostNameLimit = 99;

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// "1" or "0"; nullopt when absent.
std::optional<bool> SwitchField(const FormFields& form, const std::string& name) {
    if (!form.Has(name)) return std::nullopt;
    const std::string value = form.Get(name);
    if (value != "1" && value != "0") throw InputError{name, name + " must be 1 or 0"};
    return value == "1";
}

std::string AddressField(const FormFields& form, const std::string& name) {
    const std::string text = form.Get(name);
    std::string why;
    if (!tools::ParseIpv4(text, &why)) {
        throw InputError{name, (text.empty() ? "(empty)" : text) + ": " + why};
    }
    return text;
}

}  // namespace

Response GetLog(const Call& call, WebContext& context) {
    const std::size_t limit = CountField(call.query, "limit", kLogLimit, kLogLimit);
    const std::string filter = Lower(call.query.Get("filter"));
    const std::vector<tools::LogRow> log = tools::ReadLog(context.server.LogXml());
    nlohmann::json rows = nlohmann::json::array();
    // The server keeps the oldest first; the page shows the newest first.
    for (auto row = log.rbegin(); row != log.rend() && rows.size() < limit; ++row) {
        const std::string mac = tools::MacDisplay(row->macAddr);
        if (!filter.empty() &&
            Lower(row->timeStamp + " " + row->macAddr + " " + mac + " " + row->message)
                    .find(filter) == std::string::npos) {
            continue;
        }
        rows.push_back({{"time", row->timeStamp}, {"mac", mac}, {"message", row->message}});
    }
    return JsonAnswer({{"total", log.size()}, {"rows", rows}});
}

Response ClearLog(const Call&, WebContext& context) {
    context.server.ClearLog();
    context.events.Publish(Change::kLog);
    return StatusAnswer(S_OK);
}

Response GetServer(const Call&, WebContext& context) {
    const tools::HostIdentity host = tools::ReadHost(context.server.HostXml());
    return JsonAnswer({{"started", context.server.Started()},
                       {"replies", context.server.RepliesEnabled()},
                       {"mode", context.server.RunsAsService() ? "service" : "local server"},
                       {"host",
                        {{"override", host.override},
                         {"name", host.name},
                         {"ip", host.ipAddr},
                         {"mask", host.subnetMask},
                         {"router", host.defaultGateway}}}});
}

Response SetServer(const Call& call, WebContext& context) {
    const auto started = SwitchField(call.form, "started");
    const auto replies = SwitchField(call.form, "replies");
    if (!started && !replies) throw InputError{"", "started or replies must be given"};
    if (started) context.server.SetStarted(*started);
    if (replies) context.server.SetRepliesEnabled(*replies);
    context.events.Publish(Change::kServer);
    return StatusAnswer(S_OK);
}

Response SetHost(const Call& call, WebContext& context) {
    const auto override = SwitchField(call.form, "override");
    if (!override) throw InputError{"override", "override must be 1 or 0"};
    tools::HostChange change;
    change.override = *override;
    if (*override) {
        const std::string name = call.form.Get("name");
        if (name.size() > kHostNameLimit) {
            throw InputError{"name", "the name is longer than 99 bytes"};
        }
        change.name = name;
        change.ipAddr = AddressField(call.form, "ip");
        change.subnetMask = AddressField(call.form, "mask");
        // A network without a router is common in a machine cell.
        if (!call.form.Get("router").empty()) {
            change.defaultGateway = AddressField(call.form, "router");
        }
    }
    context.server.PutHostXml(tools::HostInfoText(change));
    context.events.Publish(Change::kServer);
    // The new-device suggestions depend on the server's subnet.
    context.events.Publish(Change::kNew);
    return StatusAnswer(S_OK);
}

}  // namespace fybootp::web
