#include "tools/web/request_checks.h"

#include <sys/random.h>

#include <cctype>
#include <cstdint>

namespace fybootp::web {
namespace {

bool IsPortSuffix(std::string_view rest) {
    if (rest.empty()) return true;
    if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return false;
    for (std::size_t i = 1; i < rest.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return false;
    }
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

}  // namespace

std::size_t BodyLimitFor(std::string_view path) {
    return path == kImportPath ? kImportBodyLimit : kFormBodyLimit;
}

bool HostAllowed(std::string_view host) {
    for (const std::string_view name : {"localhost", "127.0.0.1", "[::1]"}) {
        if (StartsWithNoCase(host, name) && IsPortSuffix(host.substr(name.size()))) return true;
    }
    return false;
}

bool OriginMatches(std::string_view origin, std::string_view host) {
    constexpr std::string_view scheme = "http://";
    return !host.empty() && origin.size() == scheme.size() + host.size() &&
           origin.substr(0, scheme.size()) == scheme && origin.substr(scheme.size()) == host;
}

bool TokensEqual(std::string_view expected, std::string_view given) {
    if (expected.empty() || expected.size() != given.size()) return false;
    unsigned char differ = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        differ |= static_cast<unsigned char>(expected[i] ^ given[i]);
    }
    return differ == 0;
}

std::string CookieValue(std::string_view cookieHeader, std::string_view name) {
    std::size_t start = 0;
    while (start < cookieHeader.size()) {
        std::size_t end = cookieHeader.find(';', start);
        if (end == std::string_view::npos) end = cookieHeader.size();
        std::string_view pair = cookieHeader.substr(start, end - start);
        start = end + 1;
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            return std::string(pair.substr(equals + 1));
        }
    }
    return {};
}

std::string RandomToken() {
    std::uint8_t bytes[16];
    if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (const std::uint8_t byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 0xF];
    }
    return token;
}

}  // namespace fybootp::web

#include "tools/web/http_message.h"

namespace fybootp::web {

const std::vector<std::pair<std::string, std::string>>& SecurityHeaders() {
    // No inline script or style runs, nothing loads from elsewhere, no
    // other site frames the page, and no answer is kept in a cache.
    static const std::vector<std::pair<std::string, std::string>> headers{
        {"Content-Security-Policy", "default-src 'self'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Cache-Control", "no-store"},
        {"Referrer-Policy", "no-referrer"},
        {"X-Frame-Options", "DENY"},
    };
    return headers;
}

}  // namespace fybootp::web
