#include "web/layout.h"

#include <algorithm>

namespace web {

LayoutItem::LayoutItem(std::unique_ptr<Widget> widget, std::unique_ptr<Layout> layout)
    : widget_(std::move(widget)), layout_(std::move(layout)) {}
LayoutItem::~LayoutItem() = default;

Layout::Layout() = default;
Layout::~Layout() = default;

LayoutItem* Layout::itemAt(int index) const {
  if (index < 0 || index >= count()) return nullptr;
  return items_[static_cast<std::size_t>(index)].get();
}

int Layout::indexOf(const Widget* widget) const {
  for (int i = 0; i < count(); ++i)
    if (items_[static_cast<std::size_t>(i)]->widget() == widget) return i;
  return -1;
}

void Layout::attach(Widget* owner) {
  owner_ = owner;
  for (auto& item : items_) {
    if (item->widget_ && owner) owner->adopt(*item->widget_);
    if (item->layout_) item->layout_->attach(owner);
  }
  changed();
}

void Layout::changed() {
  if (owner_) owner_->markDirty();
}

LayoutItem& Layout::addItem(std::unique_ptr<Widget> widget, std::unique_ptr<Layout> layout) {
  items_.push_back(std::make_unique<LayoutItem>(std::move(widget), std::move(layout)));
  LayoutItem& item = *items_.back();
  if (item.widget_ && owner_) owner_->adopt(*item.widget_);
  if (item.layout_) item.layout_->attach(owner_);
  changed();
  return item;
}

void Layout::placeItem(LayoutItem& item) {
  if (item.widget_) item.widget_->setPlacementStyle(itemStyle(item));
  changed();
}

std::unique_ptr<Widget> Layout::removeWidget(Widget* widget) {
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    LayoutItem& item = **it;
    if (item.widget_.get() == widget) {
      std::unique_ptr<Widget> w = std::move(item.widget_);
      items_.erase(it);
      w->setPlacementStyle({});
      changed();
      return w;
    }
    if (item.layout_) {
      if (auto w = item.layout_->removeWidget(widget)) return w;
    }
  }
  return nullptr;
}

void Layout::clear() {
  for (auto& item : items_) {
    if (item->layout_) item->layout_->clear();
    dispose(std::move(item->widget_));
  }
  items_.clear();
  changed();
}

void Layout::setSpacing(int pixels) {
  spacing_ = pixels;
  changed();
}

void Layout::setContentsMargins(int left, int top, int right, int bottom) {
  margins_[0] = left;
  margins_[1] = top;
  margins_[2] = right;
  margins_[3] = bottom;
  changed();
}

void Layout::setContentAlignment(unsigned alignment) {
  contentAlignment_ = alignment;
  changed();
}

std::string Layout::marginsCss() const {
  if (!margins_[0] && !margins_[1] && !margins_[2] && !margins_[3]) return {};
  return "padding:" + std::to_string(margins_[1]) + "px " + std::to_string(margins_[2]) + "px " +
         std::to_string(margins_[3]) + "px " + std::to_string(margins_[0]) + "px;";
}

void Layout::renderItems(std::string& out) {
  for (auto& item : items_) {
    if (item->widget_) {
      item->widget_->render(out);
    } else if (item->layout_) {
      out += "<div style=\"";
      appendEscaped(out, item->layout_->containerStyle() + itemStyle(*item));
      out += "\">";
      item->layout_->renderItems(out);
      out += "</div>";
    }
  }
}

void Layout::visitWidgets(const std::function<void(Widget&)>& fn) const {
  for (const auto& item : items_) {
    if (item->widget_) fn(*item->widget_);
    if (item->layout_) item->layout_->visitWidgets(fn);
  }
}

}  // namespace web
