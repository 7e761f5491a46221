#include "web/box_layout.h"

#include "web/container.h"

namespace web {

void BoxLayout::place(LayoutItem& item, int stretch, unsigned alignment) {
  item.stretch = stretch;
  item.alignment = alignment;
  placeItem(item);
}

void BoxLayout::addStretch(int stretch) {
  auto spacer = std::make_unique<Container>();
  place(addItem(std::move(spacer), nullptr), stretch, AlignNone);
}

void BoxLayout::setStretchFactor(Widget* widget, int stretch) {
  const int i = indexOf(widget);
  if (i < 0) return;
  place(*items_[static_cast<std::size_t>(i)], stretch, items_[static_cast<std::size_t>(i)]->alignment);
}

std::string BoxLayout::containerStyle() const {
  const bool row = direction_ == Direction::LeftToRight;
  std::string css = row ? "display:flex;flex-direction:row;" : "display:flex;flex-direction:column;";
  if (spacing_) css += "gap:" + std::to_string(spacing_) + "px;";
  css += marginsCss();
  // The main axis follows the layout's direction; the cross axis the other.
  const char* mainAlign = row ? horizontalCss(contentAlignment_) : verticalCss(contentAlignment_);
  const char* crossAlign = row ? verticalCss(contentAlignment_) : horizontalCss(contentAlignment_);
  if (*mainAlign) css += std::string("justify-content:") + mainAlign + ";";
  if (*crossAlign) css += std::string("align-items:") + crossAlign + ";";
  return css;
}

std::string BoxLayout::itemStyle(const LayoutItem& item) const {
  const bool row = direction_ == Direction::LeftToRight;
  std::string css = item.stretch > 0 ? "flex:" + std::to_string(item.stretch) + " 1 auto;" : "flex:0 0 auto;";
  const char* cross = row ? verticalCss(item.alignment) : horizontalCss(item.alignment);
  if (*cross) css += std::string("align-self:") + cross + ";";
  return css;
}

}  // namespace web
