#include "tests/tools/fuzz/web_router_fuzz_entry.h"

#include <nlohmann/json.hpp>
#include <set>
#include <string_view>

#include "tests/tools/fuzz/server_stand_in.h"
#include "tools/client/client_failure.h"
#include "tools/web/form_fields.h"
#include "tools/web/request_checks.h"
#include "tools/web/router.h"

namespace fybootp::fuzz {
namespace {

using web::Request;
using web::Response;

constexpr char kCsrf[] = "0123456789abcdef0123456789abcdef";
constexpr char kToken[] = "fedcba9876543210fedcba9876543210";

using StandIn = testing::ServerStandIn;

// "METHOD TARGET\nName: value\n...\n\nbody"; a line may end in \r\n.
Request ReadRequest(std::string_view text) {
    Request request;
    auto line = [&text]() {
        const std::size_t end = text.find('\n');
        std::string_view got = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!got.empty() && got.back() == '\r') got.remove_suffix(1);
        return got;
    };
    const std::string_view first = line();
    const std::size_t space = first.find(' ');
    request.method = std::string(first.substr(0, space));
    const std::string_view target =
        space == std::string_view::npos ? std::string_view() : first.substr(space + 1);
    const std::size_t question = target.find('?');
    request.path = std::string(target.substr(0, question));
    if (question != std::string_view::npos) request.query = std::string(target.substr(question + 1));
    for (std::string_view header = line(); !header.empty(); header = line()) {
        const std::size_t colon = header.find(':');
        std::string name(header.substr(0, colon));
        for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        std::string_view value =
            colon == std::string_view::npos ? std::string_view() : header.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        request.headers[name] = std::string(value);
    }
    request.body = std::string(text);
    request.bodyTooLarge = request.body.size() > web::BodyLimitFor(request.path);
    return request;
}

bool CarriesToken(const Request& request) {
    std::string why;
    const auto query = web::FormFields::Parse(request.query, &why);
    return (query && query->Get("token") == kToken) ||
           web::CookieValue(request.Header("cookie"), web::kTokenCookie) == kToken;
}

std::string CheckAnswer(const Request& request, const Response& answer, int changesBefore,
                        int changesAfter, bool withToken) {
    static const std::set<int> kStatuses{200, 400, 403, 404, 405, 409, 413, 500, 502};
    if (kStatuses.count(answer.status) == 0) return "status " + std::to_string(answer.status);
    const bool ok = answer.status == 200;
    if (ok && !web::HostAllowed(request.Header("host"))) return "a foreign Host was answered";
    if (ok && withToken && !CarriesToken(request)) return "answered without the --listen token";
    if (changesAfter != changesBefore) {
        if (request.method != "POST") return "a " + request.method.substr(0, 8) + " changed the server";
        if (!web::TokensEqual(kCsrf, request.Header("x-csrf-token")) ||
            !web::OriginMatches(request.Header("origin"), request.Header("host"))) {
            return "a POST without the CSRF token or its Origin changed the server";
        }
        if (request.bodyTooLarge) return "a body over its cap changed the server";
    }
    const bool api = request.path.rfind("/api/", 0) == 0 && request.path != "/api/events" &&
                     !(ok && request.path == "/api/nodes/export");
    if (api || !ok) {
        const auto json = nlohmann::json::parse(answer.body, nullptr, false);
        if (json.is_discarded()) return "an /api/ answer is not JSON";
        if (!ok && !(json.contains("error") && json["error"]["status"].is_string())) {
            return "an error answer without its status";
        }
    }
    return {};
}

}  // namespace

std::string RunWebRouterInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Request request = ReadRequest(text);

    std::string why;
    if (const auto form = web::FormFields::Parse(request.body, &why)) {
        for (const auto& [name, value] : form->All()) {
            if (name.empty()) return "a field without a name";
            if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
                return "a decoded field holds NUL";
            }
        }
    }

    const web::PageFiles page("");
    for (const bool withToken : {false, true}) {
        StandIn server;
        web::NodeTableCache nodes(std::chrono::seconds(60));
        web::EventHub events;
        web::Router router({kCsrf, withToken ? kToken : ""}, page,
                           web::WebContext{server, nodes, events});
        const Response answer = router.Handle(request);
        const std::string problem = CheckAnswer(request, answer, 0, server.changes, withToken);
        if (!problem.empty()) return problem + (withToken ? " (--listen)" : " (socket)");
    }
    return {};
}

}  // namespace fybootp::fuzz
