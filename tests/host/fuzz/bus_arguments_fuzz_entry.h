#pragma once
// One fuzz input as a call to the server object: which member, and a
// message body of values of any type the bus can carry, in any order, as a
// client on the bus may send them. The body goes through the code the bus
// calls use: the reading of a member's arguments (with the text bound of
// the server's shape) and, for an audited member, the audit line.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fybootp::fuzz {

// Returns an empty text, or the invariant that did not hold (a crash or a
// sanitizer report ends the process instead). Arguments that are read
// have the member's types and keep within the text bound; a body of
// exactly the member's signature, within the bound, is always read; the
// audit line of what was read is one line of printable text.
std::string RunBusArgumentsInput(const std::uint8_t* data, std::size_t size);

}  // namespace fybootp::fuzz
