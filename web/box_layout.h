// Widgets in a row or a column (a CSS flex box). Stretch shares the space
// left over; alignment places an item across the box.
#pragma once

#include "web/layout.h"

namespace web {

class BoxLayout : public Layout {
 public:
  enum class Direction { LeftToRight, TopToBottom };
  explicit BoxLayout(Direction direction) : direction_(direction) {}

  template <class W>
  W* addWidget(std::unique_ptr<W> widget, int stretch = 0, unsigned alignment = AlignNone) {
    W* raw = widget.get();
    place(addItem(std::move(widget), nullptr), stretch, alignment);
    return raw;
  }
  template <class L>
  L* addLayout(std::unique_ptr<L> layout, int stretch = 0, unsigned alignment = AlignNone) {
    L* raw = layout.get();
    place(addItem(nullptr, std::move(layout)), stretch, alignment);
    return raw;
  }
  // Empty space that takes the stretch.
  void addStretch(int stretch = 1);
  void setStretchFactor(Widget* widget, int stretch);

  Direction direction() const { return direction_; }
  std::string containerStyle() const override;

 protected:
  std::string itemStyle(const LayoutItem& item) const override;

 private:
  void place(LayoutItem& item, int stretch, unsigned alignment);
  Direction direction_;
};

class VBoxLayout : public BoxLayout {
 public:
  VBoxLayout() : BoxLayout(Direction::TopToBottom) {}
};

class HBoxLayout : public BoxLayout {
 public:
  HBoxLayout() : BoxLayout(Direction::LeftToRight) {}
};

}  // namespace web
