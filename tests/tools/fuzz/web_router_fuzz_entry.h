#pragma once
// One fuzz input as an HTTP request to fybootp-web's router: a request
// line, header lines and a body, as any local program may send them. The
// request goes through the router twice, on the socket (no token) and
// behind --listen (a token), over a stand-in for the server.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fybootp::fuzz {

// Returns an empty text, or the invariant that did not hold: the answer's
// status is one the router gives; a foreign Host, a missing --listen token
// and a POST without the CSRF token and a matching Origin are refused; no
// refused request and no GET changes the server; every /api/ answer but
// the export and the stream is JSON, with an error object when it is not
// 2xx; the form parser keeps named fields only.
std::string RunWebRouterInput(const std::uint8_t* data, std::size_t size);

}  // namespace fybootp::fuzz
