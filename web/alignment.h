// Alignment flags for layout items and container contents.
#pragma once

namespace web {

enum Alignment : unsigned {
  AlignNone = 0,
  AlignLeft = 0x1,
  AlignRight = 0x2,
  AlignCenter = 0x4,
  AlignJustify = 0x8,
  AlignTop = 0x10,
  AlignMiddle = 0x20,
  AlignBottom = 0x40,
  AlignHorizontalMask = AlignLeft | AlignRight | AlignCenter | AlignJustify,
  AlignVerticalMask = AlignTop | AlignMiddle | AlignBottom,
};

inline Alignment operator|(Alignment a, Alignment b) {
  return static_cast<Alignment>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

// CSS keyword for the horizontal or vertical part ("" when not set).
inline const char* horizontalCss(unsigned a) {
  if (a & AlignLeft) return "start";
  if (a & AlignRight) return "end";
  if (a & AlignCenter) return "center";
  if (a & AlignJustify) return "stretch";
  return "";
}

inline const char* verticalCss(unsigned a) {
  if (a & AlignTop) return "start";
  if (a & AlignBottom) return "end";
  if (a & AlignMiddle) return "center";
  return "";
}

}  // namespace web
