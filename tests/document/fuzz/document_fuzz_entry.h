#pragma once
// One fuzz input through both ways untrusted XML enters the server: as the
// text of a BootpInfosXml put, and as FyBootpInfo.xml at start-up. Works in
// the current directory, where it writes FyBootpInfo.xml.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fybootp::fuzz {

// Returns an empty text, or what went wrong: a status or an invariant that
// did not hold (a crash or a sanitizer report ends the process instead).
std::string RunDocumentInput(const std::uint8_t* data, std::size_t size);

}  // namespace fybootp::fuzz
