#pragma once
// The text form of one hive file (the grammar is at the top of
// hive_text.cpp). Writing then reading gives back the same tree, whatever
// bytes other than NUL the names and texts hold. Reading checks the whole
// file and gives up on the first fault, so that a damaged file is reported
// rather than half loaded.

#include <string>
#include <string_view>

#include "platform/registry/key_tree.h"

namespace fybootp::registry {

std::string WriteHiveText(const Key& root);

// False for any text that WriteHiveText could not have produced; `root` is
// then left empty.
bool ReadHiveText(std::string_view text, Key* root);

}  // namespace fybootp::registry
