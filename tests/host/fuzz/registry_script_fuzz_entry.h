#pragma once
// One fuzz input as a registry script: the text the executable keeps its
// registration in, which a patched or damaged executable could hold.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fybootp::fuzz {

// Returns an empty text, or the invariant that did not hold (a crash or a
// sanitizer report ends the process instead). The script's replacements
// are expanded first, as registration does; a script that reads has only
// named keys under the two roots, one that does not is refused at a line
// the text has, and the text cut after that line is refused there too.
std::string RunRegistryScriptInput(const std::uint8_t* data, std::size_t size);

}  // namespace fybootp::fuzz
