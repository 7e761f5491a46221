#include "web/progress_bar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace web {

ProgressBar::ProgressBar() = default;

void ProgressBar::setRange(double minimum, double maximum) {
  if (min_ == minimum && max_ == maximum) return;
  min_ = minimum;
  max_ = maximum;
  markDirty();
}

void ProgressBar::setValue(double value) {
  if (value_ == value) return;
  value_ = value;
  markDirty();
}

double ProgressBar::percentage() const {
  if (max_ <= min_) return 0;
  return std::clamp((value_ - min_) / (max_ - min_) * 100.0, 0.0, 100.0);
}

void ProgressBar::renderElement(std::string& out) {
  if (isBusy()) {
    openTag(out, "w-progress w-progress-busy");
    out += " role=\"progressbar\" aria-busy=\"true\"><div class=\"w-progress-bar\"></div></div>";
    return;
  }
  const double p = percentage();
  char text[32];
  std::snprintf(text, sizeof text, "%.0f %%", std::floor(p));
  openTag(out, "w-progress");
  out += " role=\"progressbar\" aria-valuenow=\"" + std::to_string(static_cast<int>(p)) + "\">";
  char bar[64];
  std::snprintf(bar, sizeof bar, "<div class=\"w-progress-bar\" style=\"width:%.1f%%\"></div>", p);
  out += bar;
  out += "<span class=\"w-progress-text\">";
  out += text;
  out += "</span></div>";
}

}  // namespace web
