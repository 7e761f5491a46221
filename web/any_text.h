// The text shown for a model value held in a std::any.
#pragma once

#include <any>
#include <chrono>
#include <string>

namespace web {

// Strings as they are, numbers in decimal, time points in local time
// ("yyyy-MM-dd hh:mm:ss"), bools as "true"/"false", anything else "".
std::string asString(const std::any& value);
// A number from a numeric value or a numeric string; NaN otherwise.
double asNumber(const std::any& value);

}  // namespace web
