// A CSS length: auto, pixels, percent or em.
#pragma once

#include <string>

namespace web {

class Length {
 public:
  enum class Unit { Auto, Pixel, Percentage, FontEm };

  Length() = default;  // auto
  Length(int pixels) : unit_(Unit::Pixel), value_(pixels) {}  // NOLINT: 594 reads as 594 px
  Length(double value, Unit unit) : unit_(unit), value_(value) {}

  static Length Auto() { return Length(); }
  static Length px(double v) { return Length(v, Unit::Pixel); }
  static Length percent(double v) { return Length(v, Unit::Percentage); }

  bool isAuto() const { return unit_ == Unit::Auto; }
  Unit unit() const { return unit_; }
  double value() const { return value_; }
  std::string css() const;  // "594px", "100%", "auto"

  bool operator==(const Length& o) const { return unit_ == o.unit_ && value_ == o.value_; }
  bool operator!=(const Length& o) const { return !(*this == o); }

 private:
  Unit unit_ = Unit::Auto;
  double value_ = 0;
};

}  // namespace web
