#pragma once
// A request as the router sees it and the answer it gives: plain values,
// so that the router, its checks and its handlers run without a socket,
// under unit tests and the fuzzer alike.

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fybootp::web {

struct Request {
    std::string method;  // "GET", "POST", ...
    std::string path;    // without the query
    std::string query;   // after '?', still encoded
    // Header names in lower case; a header given twice keeps its last value.
    std::map<std::string, std::string> headers;
    std::string body;
    // The body was cut at the cap; the router answers 413.
    bool bodyTooLarge = false;

    // "" when absent.
    std::string Header(const std::string& lowerName) const {
        const auto found = headers.find(lowerName);
        return found == headers.end() ? std::string() : found->second;
    }
};

struct Response {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    // Headers beyond the security headers that every answer carries.
    std::vector<std::pair<std::string, std::string>> headers;
    // An event stream: the daemon feeds it from the event hub instead of
    // sending `body`.
    bool eventStream = false;
};

// The headers of every answer, page and API alike.
const std::vector<std::pair<std::string, std::string>>& SecurityHeaders();

}  // namespace fybootp::web
