#include "core/log_time.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace fybootp {

void FormatTimeStamp(const std::optional<std::tm>& local, char (&out)[kTimeStampSize]) {
    out[0] = '\0';
    if (!local) return;
    // The year is widened first: tm_year + 1900 overflows int near INT_MAX.
    // A normal stamp needs 20 bytes; a freak year is cut, never overrun.
    char text[96];
    std::snprintf(text, sizeof(text), "%lld-%02d-%02dT%02d:%02d:%02d",
                  static_cast<long long>(local->tm_year) + 1900, local->tm_mon + 1, local->tm_mday,
                  local->tm_hour, local->tm_min, local->tm_sec);
    const std::size_t length = std::min(std::strlen(text), kTimeStampSize - 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
}

}  // namespace fybootp
