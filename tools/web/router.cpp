#include "tools/web/router.h"

#include <new>
#include <string_view>

#include "tools/web/api_answers.h"
#include "tools/web/request_checks.h"

namespace fybootp::web {
namespace {

using HandlerFunction = Response (*)(const Call&, WebContext&);

struct Route {
    std::string_view method;
    std::string_view path;
    HandlerFunction handler;
    // The field beside which a refusal of the server is shown.
    const char* failureField;
    // A body of raw bytes rather than a form.
    bool rawBody = false;
};

Response Session(const Call&, WebContext&);  // answered by the router itself

constexpr Route kRoutes[] = {
    {"GET", "/api/session", &Session, ""},
    {"GET", "/api/nodes", &GetNodes, ""},
    {"POST", "/api/nodes/add", &AddNode, "ip"},
    {"POST", "/api/nodes/delete", &DeleteNode, "mac"},
    {"GET", "/api/nodes/export", &ExportNodes, ""},
    {"POST", "/api/nodes/import", &ImportNodes, "file", true},
    {"GET", "/api/new", &GetNewDevices, ""},
    {"POST", "/api/assign", &AssignNewDevice, "ip"},
    {"GET", "/api/log", &GetLog, ""},
    {"POST", "/api/log/clear", &ClearLog, ""},
    {"GET", "/api/server", &GetServer, ""},
    {"POST", "/api/server", &SetServer, ""},
    {"POST", "/api/host", &SetHost, ""},
};

Response Session(const Call&, WebContext&) { return {}; }

Response Refused(int status, const std::string& message) {
    return ErrorAnswer(status, "", status == 403 ? E_ACCESSDENIED : E_INVALIDARG, message);
}

}  // namespace

Response Router::Handle(const Request& request) {
    try {
        bool tokenFromQuery = false;
        Response response = Checked(request, &tokenFromQuery);
        if (tokenFromQuery) {
            response.headers.emplace_back("Set-Cookie", std::string(kTokenCookie) + "=" +
                                                            m_secrets.listenToken +
                                                            "; HttpOnly; SameSite=Strict; Path=/");
        }
        return response;
    } catch (const std::bad_alloc&) {
        return ErrorAnswer(500, "", E_OUTOFMEMORY, "out of memory");
    } catch (...) {
        return ErrorAnswer(500, "", E_UNEXPECTED, "the request could not be answered");
    }
}

Response Router::Checked(const Request& request, bool* tokenFromQuery) {
    const std::string host = request.Header("host");
    if (!HostAllowed(host)) return Refused(403, "this page answers only to localhost");
    std::string why;
    const auto query = FormFields::Parse(request.query, &why);
    if (!m_secrets.listenToken.empty()) {
        const std::string given = query ? query->Get("token") : std::string();
        *tokenFromQuery = TokensEqual(m_secrets.listenToken, given);
        if (!*tokenFromQuery &&
            !TokensEqual(m_secrets.listenToken, CookieValue(request.Header("cookie"), kTokenCookie))) {
            return Refused(403, "open the address with the token that fybootp-web printed");
        }
    }
    if (!query) return Refused(400, "the query is malformed: " + why);
    if (request.bodyTooLarge) {
        const bool import = request.path == kImportPath;
        return ErrorAnswer(413, import ? "file" : "", E_INVALIDARG,
                           import ? "the file is larger than 16 MiB"
                                  : "the request's body is larger than 64 KiB");
    }
    return Dispatch(request, *query);
}

Response Router::Dispatch(const Request& request, const FormFields& query) {
    if (request.method == "GET" || request.method == "HEAD") {
        if (const auto file = m_page.Find(request.path)) {
            Response response;
            response.contentType = file->contentType;
            response.body = file->body;
            return response;
        }
        if (request.path == "/api/events") {
            Response response;
            response.contentType = "text/event-stream";
            response.eventStream = true;
            return response;
        }
    }
    const Route* route = nullptr;
    bool pathKnown = false;
    for (const Route& candidate : kRoutes) {
        if (candidate.path != request.path) continue;
        pathKnown = true;
        if (candidate.method == request.method) route = &candidate;
    }
    if (route == nullptr) {
        return pathKnown ? Refused(405, "not allowed with " + request.method.substr(0, 16))
                         : Refused(404, "no such page");
    }
    if (route->method == "POST") {
        if (!TokensEqual(m_secrets.csrf, request.Header("x-csrf-token"))) {
            return Refused(403, "the request carries no valid X-CSRF-Token: reload the page");
        }
        if (!OriginMatches(request.Header("origin"), request.Header("host"))) {
            return Refused(403, "the request's Origin is not this page");
        }
    }
    if (route->handler == &Session) return JsonAnswer({{"csrf", m_secrets.csrf}});
    std::string why;
    std::optional<FormFields> form = FormFields();
    if (route->method == "POST" && !route->rawBody) form = FormFields::Parse(request.body, &why);
    if (!form) return Refused(400, "the form is malformed: " + why);
    try {
        return route->handler(Call{request, query, *form}, m_context);
    } catch (const InputError& error) {
        return InputErrorAnswer(error);
    } catch (const tools::Failure& failure) {
        return FailureAnswer(failure, route->failureField);
    }
}

}  // namespace fybootp::web
