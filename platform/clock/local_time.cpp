#include "platform/clock/local_time.h"

namespace fybootp::clock {

std::time_t Now() { return std::time(nullptr); }

std::optional<std::tm> ToLocal(std::time_t t) {
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) return std::nullopt;
    return local;
}

}  // namespace fybootp::clock
