#include "web/tab_widget.h"

namespace web {

TabWidget::TabWidget() = default;
TabWidget::~TabWidget() = default;

Panel* TabWidget::addTab(std::unique_ptr<Widget> child, const std::string& label) {
  Tab tab;
  tab.child = child.get();
  tab.panel = std::make_unique<Panel>();
  tab.panel->addStyleClass("w-tab-panel");
  tab.panel->addWidget(std::move(child));
  tab.header = std::make_unique<PushButton>(label);
  PushButton* header = tab.header.get();
  header->setStyleClass("w-tab");
  header->setAttributeValue("role", "tab");
  tab.panel->setAttributeValue("role", "tabpanel");
  tab.panel->setAttributeValue("aria-labelledby", header->id());
  tab.panel->setAttributeValue("tabindex", "0");
  header->clicked().connect([this, header] {
    for (int i = 0; i < count(); ++i)
      if (tabs_[static_cast<std::size_t>(i)].header.get() == header && i != current_) {
        setCurrentIndex(i);
        currentChanged_.emit(i);
        return;
      }
  });
  adopt(*tab.header);
  adopt(*tab.panel);
  tabs_.push_back(std::move(tab));
  if (current_ < 0) current_ = 0;
  markHeaders();
  markDirty();
  return tabs_.back().panel.get();
}

Widget* TabWidget::widget(int index) const {
  if (index < 0 || index >= count()) return nullptr;
  return tabs_[static_cast<std::size_t>(index)].child;
}

Panel* TabWidget::panel(int index) const {
  if (index < 0 || index >= count()) return nullptr;
  return tabs_[static_cast<std::size_t>(index)].panel.get();
}

int TabWidget::indexOf(const Widget* child) const {
  for (int i = 0; i < count(); ++i)
    if (tabs_[static_cast<std::size_t>(i)].child == child) return i;
  return -1;
}

void TabWidget::setCurrentIndex(int index) {
  if (index < 0 || index >= count() || index == current_) return;
  current_ = index;
  markHeaders();
  markDirty();
}

void TabWidget::markHeaders() {
  for (int i = 0; i < count(); ++i) {
    const Tab& t = tabs_[static_cast<std::size_t>(i)];
    PushButton& h = *t.header;
    const bool current = i == current_;
    if (current)
      h.addStyleClass("w-tab-current");
    else
      h.removeStyleClass("w-tab-current");
    h.setAttributeValue("aria-selected", current ? "true" : "false");
    h.setAttributeValue("tabindex", current ? "0" : "-1");
    // Only the current panel is in the page.
    h.setAttributeValue("aria-controls", current ? t.panel->id() : std::string());
  }
}

void TabWidget::setTabText(int index, const std::string& label) {
  if (index >= 0 && index < count()) tabs_[static_cast<std::size_t>(index)].header->setText(label);
}

std::string TabWidget::tabText(int index) const {
  if (index < 0 || index >= count()) return {};
  return tabs_[static_cast<std::size_t>(index)].header->text();
}

void TabWidget::setTabEnabled(int index, bool enabled) {
  if (index >= 0 && index < count()) tabs_[static_cast<std::size_t>(index)].header->setDisabled(!enabled);
}

void TabWidget::visitChildren(const std::function<void(Widget&)>& fn) {
  Panel::visitChildren(fn);
  for (auto& t : tabs_) {
    fn(*t.header);
    fn(*t.panel);
  }
}

void TabWidget::visitRenderedChildren(const std::function<void(Widget&)>& fn) {
  if (isHidden()) return;
  Panel::visitChildren(fn);
  for (auto& t : tabs_) fn(*t.header);
  if (Panel* p = panel(current_)) fn(*p);
}

void TabWidget::renderElement(std::string& out) {
  renderFrameStart(out, "w-panel w-tabwidget");
  out += "<div class=\"w-tabs\" role=\"tablist\">";
  for (auto& t : tabs_) t.header->render(out);
  out += "</div>";
  if (Panel* p = panel(current_)) p->render(out);
  renderFrameEnd(out);
}

}  // namespace web
