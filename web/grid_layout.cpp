#include "web/grid_layout.h"

#include <algorithm>

namespace web {

void GridLayout::place(LayoutItem& item, int row, int column, int rowSpan, int columnSpan, unsigned alignment) {
  item.row = std::max(0, row);
  item.column = std::max(0, column);
  item.rowSpan = std::max(1, rowSpan);
  item.columnSpan = std::max(1, columnSpan);
  item.alignment = alignment;
  placeItem(item);
}

void GridLayout::setRowStretch(int row, int stretch) {
  rowStretch_[row] = stretch;
  changed();
}

void GridLayout::setColumnStretch(int column, int stretch) {
  columnStretch_[column] = stretch;
  changed();
}

void GridLayout::setHorizontalSpacing(int pixels) {
  hSpacing_ = pixels;
  changed();
}

void GridLayout::setVerticalSpacing(int pixels) {
  vSpacing_ = pixels;
  changed();
}

int GridLayout::rowCount() const {
  int n = 0;
  for (const auto& item : items_) n = std::max(n, item->row + item->rowSpan);
  return n;
}

int GridLayout::columnCount() const {
  int n = 0;
  for (const auto& item : items_) n = std::max(n, item->column + item->columnSpan);
  return n;
}

Widget* GridLayout::widgetAt(int row, int column) const {
  for (const auto& item : items_)
    if (item->row == row && item->column == column && item->widget()) return item->widget();
  return nullptr;
}

std::string GridLayout::containerStyle() const {
  std::string css = "display:grid;";
  const int columns = columnCount();
  if (columns > 0) {
    css += "grid-template-columns:";
    for (int c = 0; c < columns; ++c) {
      const auto it = columnStretch_.find(c);
      css += it != columnStretch_.end() && it->second > 0 ? " minmax(auto," + std::to_string(it->second) + "fr)"
                                                          : " auto";
    }
    css += ";";
  }
  bool rowStretched = false;
  for (const auto& [r, s] : rowStretch_) rowStretched = rowStretched || s > 0;
  if (rowStretched) {
    css += "grid-template-rows:";
    for (int r = 0; r < rowCount(); ++r) {
      const auto it = rowStretch_.find(r);
      css += it != rowStretch_.end() && it->second > 0 ? " minmax(auto," + std::to_string(it->second) + "fr)"
                                                       : " auto";
    }
    css += ";";
  }
  const int h = hSpacing_ >= 0 ? hSpacing_ : spacing_;
  const int v = vSpacing_ >= 0 ? vSpacing_ : spacing_;
  css += "column-gap:" + std::to_string(h) + "px;row-gap:" + std::to_string(v) + "px;";
  css += "justify-content:start;align-content:start;";
  css += marginsCss();
  return css;
}

std::string GridLayout::itemStyle(const LayoutItem& item) const {
  std::string css = "grid-row:" + std::to_string(item.row + 1) + " / span " + std::to_string(item.rowSpan) +
                    ";grid-column:" + std::to_string(item.column + 1) + " / span " +
                    std::to_string(item.columnSpan) + ";";
  const char* h = horizontalCss(item.alignment);
  const char* v = verticalCss(item.alignment);
  if (*h) css += std::string("justify-self:") + h + ";";
  if (*v) css += std::string("align-self:") + v + ";";
  return css;
}

}  // namespace web
