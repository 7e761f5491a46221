#include "web/widget.h"

#include <algorithm>
#include <atomic>
#include <sstream>
#include <stdexcept>

#include "web/application.h"

namespace web {

namespace {

std::uint64_t nextWidgetId() {
  // Ids only need to differ within a page; one counter for the process
  // keeps them from ever repeating in a long-lived session.
  static std::atomic<std::uint64_t> counter{0};
  return ++counter;
}

const char* overflowCss(Overflow o) {
  switch (o) {
    case Overflow::Visible: return "visible";
    case Overflow::Auto: return "auto";
    case Overflow::Hidden: return "hidden";
    case Overflow::Scroll: return "scroll";
  }
  return "visible";
}

}  // namespace

struct Widget::Signals {
  explicit Signals(EventSink* w)
      : clicked(w), doubleClicked(w), over(w), out(w), focussed(w), blurred(w), keyDown(w) {}
  EventSignal<> clicked, doubleClicked, over, out, focussed, blurred;
  EventSignal<std::string> keyDown;
};

Widget::Widget() : id_(nextWidgetId()) {}
Widget::~Widget() = default;

std::string Widget::id() const { return "w" + std::to_string(id_); }

Widget::Signals& Widget::signals() {
  if (!signals_) signals_ = std::make_unique<Signals>(this);
  return *signals_;
}

EventSignal<>& Widget::clicked() { return signals().clicked; }
EventSignal<>& Widget::doubleClicked() { return signals().doubleClicked; }
EventSignal<>& Widget::mouseWentOver() { return signals().over; }
EventSignal<>& Widget::mouseWentOut() { return signals().out; }
EventSignal<>& Widget::focussed() { return signals().focussed; }
EventSignal<>& Widget::blurred() { return signals().blurred; }
EventSignal<std::string>& Widget::keyWentDown() { return signals().keyDown; }

void Widget::markDirty() {
  dirty_ = true;
  for (Widget* p = parent_; p && !p->dirtyBelow_; p = p->parent_) p->dirtyBelow_ = true;
}

void Widget::adopt(Widget& child) {
  child.parent_ = this;
  child.markDirty();
}

void Widget::resize(const Length& width, const Length& height) {
  setWidth(width);
  setHeight(height);
}

void Widget::setWidth(const Length& width) {
  if (width_ == width) return;
  width_ = width;
  markDirty();
}

void Widget::setHeight(const Length& height) {
  if (height_ == height) return;
  height_ = height;
  markDirty();
}

void Widget::setMinimumSize(const Length& width, const Length& height) {
  setStyle("min-width", width.isAuto() ? std::string() : width.css());
  setStyle("min-height", height.isAuto() ? std::string() : height.css());
}

void Widget::setMaximumSize(const Length& width, const Length& height) {
  setStyle("max-width", width.isAuto() ? std::string() : width.css());
  setStyle("max-height", height.isAuto() ? std::string() : height.css());
}

void Widget::setMargin(int pixels, unsigned sides) {
  const std::string v = std::to_string(pixels) + "px";
  if (sides & Side::Top) setStyle("margin-top", v);
  if (sides & Side::Right) setStyle("margin-right", v);
  if (sides & Side::Bottom) setStyle("margin-bottom", v);
  if (sides & Side::Left) setStyle("margin-left", v);
}

void Widget::setPadding(int pixels, unsigned sides) {
  const std::string v = std::to_string(pixels) + "px";
  if (sides & Side::Top) setStyle("padding-top", v);
  if (sides & Side::Right) setStyle("padding-right", v);
  if (sides & Side::Bottom) setStyle("padding-bottom", v);
  if (sides & Side::Left) setStyle("padding-left", v);
}

void Widget::setStyleClass(const std::string& classes) {
  if (styleClass_ == classes) return;
  styleClass_ = classes;
  markDirty();
}

bool Widget::hasStyleClass(const std::string& cls) const {
  std::istringstream in(styleClass_);
  std::string c;
  while (in >> c)
    if (c == cls) return true;
  return false;
}

void Widget::addStyleClass(const std::string& cls) {
  if (hasStyleClass(cls)) return;
  setStyleClass(styleClass_.empty() ? cls : styleClass_ + " " + cls);
}

void Widget::removeStyleClass(const std::string& cls) {
  std::istringstream in(styleClass_);
  std::string c, rest;
  while (in >> c)
    if (c != cls) rest += (rest.empty() ? "" : " ") + c;
  setStyleClass(rest);
}

void Widget::setStyle(const std::string& property, const std::string& value) {
  const auto it = std::find_if(style_.begin(), style_.end(), [&](const auto& p) { return p.first == property; });
  if (it != style_.end()) {
    if (it->second == value) return;
    if (value.empty())
      style_.erase(it);
    else
      it->second = value;
  } else {
    if (value.empty()) return;
    style_.emplace_back(property, value);
  }
  markDirty();
}

std::string Widget::style(const std::string& property) const {
  const auto it = std::find_if(style_.begin(), style_.end(), [&](const auto& p) { return p.first == property; });
  return it == style_.end() ? std::string() : it->second;
}

void Widget::setOverflow(Overflow overflow, unsigned orientation) {
  if (orientation & Horizontal) setStyle("overflow-x", overflowCss(overflow));
  if (orientation & Vertical) setStyle("overflow-y", overflowCss(overflow));
}

void Widget::setInline(bool isInline) {
  if (inline_ == isInline) return;
  inline_ = isInline;
  markDirty();
}

void Widget::setToolTip(const std::string& text, TextFormat format) {
  if (toolTip_ == text && toolTipFormat_ == format) return;
  toolTip_ = text;
  toolTipFormat_ = format;
  markDirty();
}

void Widget::setAttributeValue(const std::string& name, const std::string& value) {
  const bool wellFormed = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  });
  if (!wellFormed || name.compare(0, 2, "on") == 0 || name == "id" || name == "class" || name == "style" ||
      name == "title" || name == "data-ev")
    throw std::invalid_argument("attribute not allowed: '" + name + "'");
  const auto it = std::find_if(attributes_.begin(), attributes_.end(), [&](const auto& p) { return p.first == name; });
  if (it != attributes_.end()) {
    if (it->second == value) return;
    if (value.empty())
      attributes_.erase(it);
    else
      it->second = value;
  } else {
    if (value.empty()) return;
    attributes_.emplace_back(name, value);
  }
  markDirty();
}

std::string Widget::attributeValue(const std::string& name) const {
  const auto it = std::find_if(attributes_.begin(), attributes_.end(), [&](const auto& p) { return p.first == name; });
  return it == attributes_.end() ? std::string() : it->second;
}

void Widget::setHidden(bool hidden) {
  if (hidden_ == hidden) return;
  hidden_ = hidden;
  markDirty();
}

bool Widget::isVisible() const {
  for (const Widget* w = this; w; w = w->parent_)
    if (w->hidden_) return false;
  return true;
}

void Widget::setDisabled(bool disabled) {
  if (disabled_ == disabled) return;
  disabled_ = disabled;
  markDirty();
}

bool Widget::isEnabled() const {
  for (const Widget* w = this; w; w = w->parent_)
    if (w->disabled_) return false;
  return true;
}

void Widget::setFocus() {
  if (Application* app = Application::instance()) app->focusWidget(*this);
}

void Widget::setPlacementStyle(std::string css) {
  if (placement_ == css) return;
  placement_ = std::move(css);
  markDirty();
}

void Widget::addEventNames(std::string& names) const {
  if (!signals_) return;
  const auto add = [&](const Signal<>& s, const char* name) {
    if (!s.empty()) names += names.empty() ? name : std::string(" ") + name;
  };
  add(signals_->clicked, "click");
  add(signals_->doubleClicked, "dblclick");
  add(signals_->over, "over");
  add(signals_->out, "out");
  add(signals_->focussed, "focus");
  add(signals_->blurred, "blur");
  if (!signals_->keyDown.empty()) names += names.empty() ? "keydown" : " keydown";
}

void Widget::openTag(std::string& out, std::string_view extraClass, std::string_view extraStyle) const {
  out += '<';
  out += tagName();
  out += " id=\"w";
  out += std::to_string(id_);
  out += '"';
  if (!styleClass_.empty() || !extraClass.empty()) {
    out += " class=\"";
    appendEscaped(out, extraClass);
    if (!styleClass_.empty() && !extraClass.empty()) out += ' ';
    appendEscaped(out, styleClass_);
    out += '"';
  }
  std::string css(extraStyle);
  if (!css.empty() && css.back() != ';') css += ';';
  if (!width_.isAuto()) css += "width:" + width_.css() + ";";
  if (!height_.isAuto()) css += "height:" + height_.css() + ";";
  for (const auto& [p, v] : style_) css += p + ":" + v + ";";
  css += placement_;
  if (!css.empty()) {
    out += " style=\"";
    appendEscaped(out, css);
    out += '"';
  }
  if (!toolTip_.empty()) {
    if (toolTipFormat_ == TextFormat::Plain) {
      out += " title=\"";
      appendEscaped(out, toolTip_);
    } else {
      // Shown by the client script; the markup is filtered like any other.
      out += " data-tip=\"";
      appendEscaped(out, toHtml(toolTip_, toolTipFormat_ == TextFormat::Unfiltered ? TextFormat::Markup
                                                                                   : toolTipFormat_));
    }
    out += '"';
  }
  for (const auto& [name, value] : attributes_) {
    out += ' ';
    out += name;
    out += "=\"";
    appendEscaped(out, value);
    out += '"';
  }
  std::string events;
  addEventNames(events);
  if (!events.empty()) {
    out += " data-ev=\"";
    out += events;
    out += '"';
  }
}

void Widget::render(std::string& out) {
  dirty_ = false;
  dirtyBelow_ = false;
  if (hidden_) {
    // Hidden widgets are placeholders: showing one re-renders it whole.
    out += '<';
    out += tagName();
    out += " id=\"w" + std::to_string(id_) + "\" style=\"display:none\">";
    if (!isVoidElement()) out += std::string("</") + tagName() + ">";
    return;
  }
  renderElement(out);
}

std::string Widget::html() {
  std::string out;
  render(out);
  return out;
}

void Widget::collectDirty(std::vector<Widget*>& out) {
  if (dirty_) {
    out.push_back(this);
    return;
  }
  if (!dirtyBelow_) return;
  dirtyBelow_ = false;
  visitRenderedChildren([&](Widget& c) { c.collectDirty(out); });
}

void Widget::clearMarks(Widget& w) {
  w.dirty_ = false;
  w.dirtyBelow_ = false;
}

void Widget::visitChildren(const std::function<void(Widget&)>&) {}

void Widget::visitRenderedChildren(const std::function<void(Widget&)>& fn) {
  if (!hidden_) visitChildren(fn);
}

Widget* Widget::find(std::string_view id) {
  if (id.size() < 2 || id[0] != 'w') return nullptr;
  std::uint64_t n = 0;
  for (const char c : id.substr(1)) {
    if (c < '0' || c > '9') return nullptr;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  Widget* found = nullptr;
  std::function<void(Widget&)> search = [&](Widget& w) {
    if (found) return;
    if (w.id_ == n) {
      found = &w;
      return;
    }
    w.visitRenderedChildren(search);
  };
  search(*this);
  return found;
}

void Widget::handleEvent(const Event& event) {
  if (!signals_) return;
  const std::string& t = event.type;
  if (t == "click") signals_->clicked.emit();
  else if (t == "dblclick") signals_->doubleClicked.emit();
  else if (t == "over") signals_->over.emit();
  else if (t == "out") signals_->out.emit();
  else if (t == "focus") signals_->focussed.emit();
  else if (t == "blur") signals_->blurred.emit();
  else if (t == "keydown") signals_->keyDown.emit(event.key);
}

void dispose(std::unique_ptr<Widget> widget) {
  if (!widget) return;
  if (Application* app = Application::instance())
    app->disposeLater(std::move(widget));
  // else: destroyed here
}

void forEachWidget(Widget& root, const std::function<void(Widget&)>& fn) {
  fn(root);
  root.visitChildren([&](Widget& c) { forEachWidget(c, fn); });
}

}  // namespace web
