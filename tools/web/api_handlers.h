#pragma once
// The handlers of /api/, one a request. Each reads its fields, refuses bad
// input with an InputError before any call, calls the server through
// ServerAccess (whose Failures the router turns into answers) and tells the
// event hub what it changed.

#include "tools/web/event_hub.h"
#include "tools/web/form_fields.h"
#include "tools/web/http_message.h"
#include "tools/web/node_table.h"
#include "tools/web/server_access.h"

namespace fybootp::web {

struct WebContext {
    ServerAccess& server;
    NodeTableCache& nodes;
    EventHub& events;
};

// A request with its query and, for a form POST, its fields.
struct Call {
    const Request& request;
    const FormFields& query;
    const FormFields& form;
};

Response GetNodes(const Call& call, WebContext& context);
Response AddNode(const Call& call, WebContext& context);
Response DeleteNode(const Call& call, WebContext& context);
Response ExportNodes(const Call& call, WebContext& context);
Response ImportNodes(const Call& call, WebContext& context);
Response GetNewDevices(const Call& call, WebContext& context);
Response AssignNewDevice(const Call& call, WebContext& context);

Response GetLog(const Call& call, WebContext& context);
Response ClearLog(const Call& call, WebContext& context);
Response GetServer(const Call& call, WebContext& context);
Response SetServer(const Call& call, WebContext& context);
Response SetHost(const Call& call, WebContext& context);

// A field of digits, at most `max`; `fallback` when absent. Throws an
// InputError.
std::size_t CountField(const FormFields& fields, const std::string& name, std::size_t fallback,
                       std::size_t max);

}  // namespace fybootp::web
