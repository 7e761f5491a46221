#include "web/any_text.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "web/date_format.h"

namespace web {

std::string asString(const std::any& v) {
  if (!v.has_value()) return {};
  if (const auto* s = std::any_cast<std::string>(&v)) return *s;
  if (const auto* s = std::any_cast<const char*>(&v)) return *s ? *s : "";
  if (const auto* i = std::any_cast<int>(&v)) return std::to_string(*i);
  if (const auto* i = std::any_cast<long>(&v)) return std::to_string(*i);
  if (const auto* i = std::any_cast<long long>(&v)) return std::to_string(*i);
  if (const auto* i = std::any_cast<unsigned>(&v)) return std::to_string(*i);
  if (const auto* i = std::any_cast<unsigned long>(&v)) return std::to_string(*i);
  if (const auto* b = std::any_cast<bool>(&v)) return *b ? "true" : "false";
  if (const auto* d = std::any_cast<double>(&v)) {
    if (std::isnan(*d)) return {};
    std::ostringstream out;
    out << *d;
    return out.str();
  }
  if (const auto* f = std::any_cast<float>(&v)) return asString(std::any(static_cast<double>(*f)));
  if (const auto* t = std::any_cast<std::chrono::system_clock::time_point>(&v))
    return formatTime(*t, "yyyy-MM-dd hh:mm:ss");
  return {};
}

double asNumber(const std::any& v) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  if (!v.has_value()) return nan;
  if (const auto* d = std::any_cast<double>(&v)) return *d;
  if (const auto* f = std::any_cast<float>(&v)) return *f;
  if (const auto* i = std::any_cast<int>(&v)) return *i;
  if (const auto* i = std::any_cast<long>(&v)) return static_cast<double>(*i);
  if (const auto* i = std::any_cast<long long>(&v)) return static_cast<double>(*i);
  if (const auto* i = std::any_cast<unsigned>(&v)) return *i;
  if (const auto* t = std::any_cast<std::chrono::system_clock::time_point>(&v))
    return std::chrono::duration<double>(t->time_since_epoch()).count();
  if (const auto* s = std::any_cast<std::string>(&v)) {
    char* end = nullptr;
    const double d = std::strtod(s->c_str(), &end);
    return end && end != s->c_str() && *end == '\0' ? d : nan;
  }
  return nan;
}

}  // namespace web
