#pragma once
// The current calendar time and its broken-down local form.

#include <ctime>
#include <optional>

namespace fybootp::clock {

std::time_t Now();
// Empty when the time cannot be broken down (localtime_r fails).
std::optional<std::tm> ToLocal(std::time_t t);

}  // namespace fybootp::clock
