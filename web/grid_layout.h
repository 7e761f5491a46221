// Widgets in rows and columns (a CSS grid). Column and row stretch share the
// space left over; alignment places an item inside its cell.
#pragma once

#include <map>

#include "web/layout.h"

namespace web {

class GridLayout : public Layout {
 public:
  template <class W>
  W* addWidget(std::unique_ptr<W> widget, int row, int column, unsigned alignment = AlignNone) {
    return addWidget(std::move(widget), row, column, 1, 1, alignment);
  }
  template <class W>
  W* addWidget(std::unique_ptr<W> widget, int row, int column, int rowSpan, int columnSpan,
               unsigned alignment = AlignNone) {
    W* raw = widget.get();
    place(addItem(std::move(widget), nullptr), row, column, rowSpan, columnSpan, alignment);
    return raw;
  }
  template <class L>
  L* addLayout(std::unique_ptr<L> layout, int row, int column, int rowSpan = 1, int columnSpan = 1,
               unsigned alignment = AlignNone) {
    L* raw = layout.get();
    place(addItem(nullptr, std::move(layout)), row, column, rowSpan, columnSpan, alignment);
    return raw;
  }

  void setRowStretch(int row, int stretch);
  void setColumnStretch(int column, int stretch);
  void setHorizontalSpacing(int pixels);
  void setVerticalSpacing(int pixels);
  int rowCount() const;
  int columnCount() const;
  // The widget whose cell starts at (row, column), or null.
  Widget* widgetAt(int row, int column) const;

  std::string containerStyle() const override;

 protected:
  std::string itemStyle(const LayoutItem& item) const override;

 private:
  void place(LayoutItem& item, int row, int column, int rowSpan, int columnSpan, unsigned alignment);
  std::map<int, int> rowStretch_, columnStretch_;
  int hSpacing_ = -1, vSpacing_ = -1;  // -1: the layout's spacing
};

}  // namespace web
