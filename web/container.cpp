#include "web/container.h"

#include <algorithm>

namespace web {

Container::Container() = default;
Container::~Container() = default;

void Container::insert(int index, std::unique_ptr<Widget> widget) {
  if (!widget) return;
  index = std::clamp(index, 0, count());
  Widget& w = *widget;
  children_.insert(children_.begin() + index, std::move(widget));
  adopt(w);
  markDirty();
}

std::unique_ptr<Widget> Container::removeWidget(Widget* widget) {
  const auto it = std::find_if(children_.begin(), children_.end(), [&](const auto& c) { return c.get() == widget; });
  if (it != children_.end()) {
    std::unique_ptr<Widget> w = std::move(*it);
    children_.erase(it);
    markDirty();
    return w;
  }
  if (layout_) return layout_->removeWidget(widget);
  return nullptr;
}

void Container::clear() {
  for (auto& c : children_) dispose(std::move(c));
  children_.clear();
  if (layout_) {
    layout_->clear();
    layout_.reset();
  }
  markDirty();
}

Widget* Container::widget(int index) const {
  if (index < 0 || index >= count()) return nullptr;
  return children_[static_cast<std::size_t>(index)].get();
}

int Container::indexOf(const Widget* widget) const {
  for (int i = 0; i < count(); ++i)
    if (children_[static_cast<std::size_t>(i)].get() == widget) return i;
  return -1;
}

void Container::installLayout(std::unique_ptr<Layout> layout) {
  if (layout_) layout_->clear();
  layout_ = std::move(layout);
  if (layout_) {
    if (contentAlignment_) layout_->setContentAlignment(contentAlignment_);
    layout_->attach(this);
  }
  markDirty();
}

void Container::setContentAlignment(unsigned alignment) {
  contentAlignment_ = alignment;
  if (layout_) layout_->setContentAlignment(alignment);
  markDirty();
}

void Container::visitChildren(const std::function<void(Widget&)>& fn) {
  for (auto& c : children_) fn(*c);
  if (layout_) layout_->visitWidgets(fn);
}

std::string Container::contentStyle() const {
  if (layout_) return layout_->containerStyle();
  const char* h = horizontalCss(contentAlignment_);
  if (!*h) return {};
  return std::string("text-align:") + (std::string(h) == "start" ? "left" : std::string(h) == "end" ? "right" : h) + ";";
}

void Container::renderContents(std::string& out) {
  if (layout_) layout_->renderItems(out);
  for (auto& c : children_) c->render(out);
}

void Container::renderElement(std::string& out) {
  openTag(out, {}, contentStyle());
  out += '>';
  renderContents(out);
  out += "</";
  out += tagName();
  out += '>';
}

}  // namespace web
