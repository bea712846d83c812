#pragma once
// One fuzz input as the text form of a type library: the form the server's
// own library is kept in, and the one a library file on disk is read in.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fybootp::fuzz {

// Returns an empty text, or the invariant that did not hold (a crash or a
// sanitizer report ends the process instead). Text that parses must write
// back canonically and load; text that does not must be refused with an
// error naming a line the text has.
std::string RunTypeLibraryInput(const std::uint8_t* data, std::size_t size);

}  // namespace fybootp::fuzz
