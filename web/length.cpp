#include "web/length.h"

#include <cmath>
#include <cstdio>

namespace web {

std::string Length::css() const {
  if (unit_ == Unit::Auto) return "auto";
  char buf[48];
  const char* suffix = unit_ == Unit::Pixel ? "px" : unit_ == Unit::Percentage ? "%" : "em";
  if (std::floor(value_) == value_)
    std::snprintf(buf, sizeof buf, "%lld%s", static_cast<long long>(value_), suffix);
  else
    std::snprintf(buf, sizeof buf, "%.2f%s", value_, suffix);
  return buf;
}

}  // namespace web
