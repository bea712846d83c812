#pragma once
// The type library FYBOOTPLib as built into this executable.

#include <string_view>

namespace fybootp {

std::string_view FyBootpTypeLibraryText();

}  // namespace fybootp
