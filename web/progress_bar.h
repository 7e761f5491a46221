// A bar filled from minimum to maximum, with the percentage as text. With
// minimum and maximum both 0 the length of the work is unknown: the bar
// shows that something is going on, without a percentage.
#pragma once

#include "web/widget.h"

namespace web {

class ProgressBar : public Widget {
 public:
  ProgressBar();

  void setRange(double minimum, double maximum);
  void setMinimum(double minimum) { setRange(minimum, max_); }
  void setMaximum(double maximum) { setRange(min_, maximum); }
  double minimum() const { return min_; }
  double maximum() const { return max_; }
  void setValue(double value);
  double value() const { return value_; }
  // The filled share in percent, 0 to 100 (0 for an empty range).
  double percentage() const;
  bool isBusy() const { return min_ == 0 && max_ == 0; }

 protected:
  void renderElement(std::string& out) override;

 private:
  double min_ = 0, max_ = 100, value_ = 0;
};

}  // namespace web
