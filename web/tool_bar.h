// A row of buttons and other widgets at the top or bottom of a panel.
#pragma once

#include "web/container.h"
#include "web/push_button.h"

namespace web {

class ToolBar : public Container {
 public:
  ToolBar();
  PushButton* addButton(const std::string& text);
  void addSeparator();
};

}  // namespace web
