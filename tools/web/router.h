#pragma once
// Every request's way through the program: the checks first (Host, the
// --listen token, the body cap, method, CSRF token and Origin), then one
// handler from a table. No request reaches a handler, and so the server,
// unless it passed them all; nothing a request holds makes it throw.

#include <string>

#include "tools/web/api_handlers.h"
#include "tools/web/http_message.h"
#include "tools/web/page_files.h"

namespace fybootp::web {

struct RouterSecrets {
    // What GET /api/session hands to the page, and every POST must carry.
    std::string csrf;
    // With --listen: what every request must carry as ?token= or cookie
    // fybootp_token. Empty on the Unix socket, whose permissions are the
    // login.
    std::string listenToken;
};

inline constexpr char kTokenCookie[] = "fybootp_token";

class Router {
public:
    Router(RouterSecrets secrets, const PageFiles& page, WebContext context)
        : m_secrets(std::move(secrets)), m_page(page), m_context(context) {}

    Response Handle(const Request& request);

private:
    Response Checked(const Request& request, bool* tokenFromQuery);
    Response Dispatch(const Request& request, const FormFields& query);

    RouterSecrets m_secrets;
    const PageFiles& m_page;
    WebContext m_context;
};

}  // namespace fybootp::web
