#pragma once
// Time stamps of log entries: local time written "%d-%02d-%02dT%02d:%02d:%02d",
// or empty when the time cannot be broken down.

#include <ctime>
#include <optional>

#include "core/bootp_types.h"

namespace fybootp {

void FormatTimeStamp(const std::optional<std::tm>& local, char (&out)[kTimeStampSize]);

}  // namespace fybootp
