#pragma once
// The symbolic names of the statuses this system produces or passes on, as
// COM headers spell them, for messages that operators and scripts read
// ("E_OUTOFMEMORY", "STG_E_FILENOTFOUND").

#include <string_view>

#include "platform/com/hresult.h"

namespace fybootp {

// The name of a known status; "HRESULT" for one this table does not know.
std::string_view HresultName(HRESULT hr);

}  // namespace fybootp
