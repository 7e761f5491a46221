#include "web/panel.h"

namespace web {

Panel::Panel(const std::string& title) : title_(title) {}
Panel::~Panel() = default;

void Panel::setTitle(const std::string& title) {
  if (title_ == title) return;
  title_ = title;
  markDirty();
}

ToolBar* Panel::topToolBar() {
  if (!top_) setTopToolBar(std::make_unique<ToolBar>());
  return top_.get();
}

ToolBar* Panel::bottomToolBar() {
  if (!bottom_) setBottomToolBar(std::make_unique<ToolBar>());
  return bottom_.get();
}

ToolBar* Panel::setTopToolBar(std::unique_ptr<ToolBar> bar) {
  dispose(std::move(top_));
  top_ = std::move(bar);
  if (top_) adopt(*top_);
  markDirty();
  return top_.get();
}

ToolBar* Panel::setBottomToolBar(std::unique_ptr<ToolBar> bar) {
  dispose(std::move(bottom_));
  bottom_ = std::move(bar);
  if (bottom_) adopt(*bottom_);
  markDirty();
  return bottom_.get();
}

void Panel::setAutoScrollBars(bool on) {
  if (autoScroll_ == on) return;
  autoScroll_ = on;
  markDirty();
}

void Panel::visitChildren(const std::function<void(Widget&)>& fn) {
  if (top_) fn(*top_);
  Container::visitChildren(fn);
  if (bottom_) fn(*bottom_);
}

void Panel::renderFrameStart(std::string& out, std::string_view cls) {
  openTag(out, cls, "display:flex;flex-direction:column");
  out += '>';
  if (!title_.empty()) {
    out += "<div class=\"w-panel-title\">";
    appendEscaped(out, title_);
    out += "</div>";
  }
  if (top_) top_->render(out);
}

void Panel::renderFrameEnd(std::string& out) {
  if (bottom_) bottom_->render(out);
  out += "</div>";
}

void Panel::renderBody(std::string& out) {
  std::string css = contentStyle();
  css += autoScroll_ ? "overflow:auto;" : "";
  css += "flex:1 1 auto;";
  out += "<div class=\"w-panel-body\" style=\"";
  appendEscaped(out, css);
  out += "\">";
  renderContents(out);
  out += "</div>";
}

void Panel::renderElement(std::string& out) {
  renderFrameStart(out, "w-panel");
  renderBody(out);
  renderFrameEnd(out);
}

}  // namespace web
