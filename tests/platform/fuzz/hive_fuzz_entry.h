#pragma once
// One fuzz input as the text of a registry hive file: what the registry
// reads back from disk, where any other process that may write the folder
// could have left anything.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fybootp::fuzz {

// Returns an empty text, or the invariant that did not hold (a crash or a
// sanitizer report ends the process instead). A text that reads gives a
// tree whose written text reads back as the same tree and writes again to
// the same text; a text that does not read leaves the tree empty.
std::string RunHiveTextInput(const std::uint8_t* data, std::size_t size);

}  // namespace fybootp::fuzz
