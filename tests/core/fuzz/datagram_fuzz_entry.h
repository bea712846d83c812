#pragma once
// One fuzz input through the responder's handling of a received datagram,
// the path every byte from the network takes. One server object lives for
// the whole run, so that its bounded lists fill up and stay at their limits
// while inputs keep arriving, as they would on a busy segment.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fybootp::fuzz {

// Returns an empty text, or the invariant that did not hold (a crash or a
// sanitizer report ends the process instead). The input is the datagram as
// received; a 300-byte input is handled a second time as a BOOTREQUEST, so
// that the answering and recording paths are reached whatever its op byte.
std::string RunDatagramInput(const std::uint8_t* data, std::size_t size);

}  // namespace fybootp::fuzz
