// Tabs, each a panel holding one widget; only the current tab is in the
// page, so a large hidden tab costs the browser nothing until it is chosen.
// The headers are a tablist for assistive technology and the keyboard: the
// arrow keys, Home and End move between tabs (the client script does that),
// and only the current header is in the Tab order.
#pragma once

#include <memory>
#include <vector>

#include "web/panel.h"
#include "web/push_button.h"

namespace web {

class TabWidget : public Panel {
 public:
  TabWidget();
  ~TabWidget() override;

  // Returns the panel that wraps the child.
  Panel* addTab(std::unique_ptr<Widget> child, const std::string& label);
  int count() const { return static_cast<int>(tabs_.size()); }
  Widget* widget(int index) const;
  Panel* panel(int index) const;
  int indexOf(const Widget* child) const;
  void setCurrentIndex(int index);
  int currentIndex() const { return current_; }
  Widget* currentWidget() const { return widget(current_); }
  void setTabText(int index, const std::string& label);
  std::string tabText(int index) const;
  void setTabEnabled(int index, bool enabled);

  // The person chose another tab.
  Signal<int>& currentChanged() { return currentChanged_; }

  void visitChildren(const std::function<void(Widget&)>& fn) override;
  void visitRenderedChildren(const std::function<void(Widget&)>& fn) override;

 protected:
  void renderElement(std::string& out) override;

 private:
  void markHeaders();
  struct Tab {
    std::unique_ptr<PushButton> header;
    std::unique_ptr<Panel> panel;
    Widget* child;
  };
  std::vector<Tab> tabs_;
  Signal<int> currentChanged_;
  int current_ = -1;
};

}  // namespace web
