#pragma once
// The checks that every request passes before any handler sees it. Pure
// functions of the request's texts, so that each is tested on its own.

#include <cstddef>
#include <string>
#include <string_view>

namespace fybootp::web {

// 64 KiB for a form, 16 MiB for an imported table.
inline constexpr std::size_t kFormBodyLimit = 64 * 1024;
inline constexpr std::size_t kImportBodyLimit = 16 * 1024 * 1024;
inline constexpr char kImportPath[] = "/api/nodes/import";

std::size_t BodyLimitFor(std::string_view path);

// localhost, 127.0.0.1 or [::1], each with or without ":port". Any other
// name may be one that an attacker's DNS points at this machine, which is
// how a page from elsewhere would reach a loopback listener (DNS
// rebinding).
bool HostAllowed(std::string_view host);

// A browser sends Origin on every cross-site POST; a page of ours sends
// "http://" followed by the very Host it was loaded from.
bool OriginMatches(std::string_view origin, std::string_view host);

// Compared in time that does not depend on where the texts differ.
bool TokensEqual(std::string_view expected, std::string_view given);

// The value of cookie `name` in a Cookie header; "" when absent.
std::string CookieValue(std::string_view cookieHeader, std::string_view name);

// 32 hex digits from the kernel's random source; "" when it fails.
std::string RandomToken();

}  // namespace fybootp::web
