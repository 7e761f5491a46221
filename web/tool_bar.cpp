#include "web/tool_bar.h"

#include "web/text.h"

namespace web {

ToolBar::ToolBar() { setStyleClass("w-toolbar"); }

PushButton* ToolBar::addButton(const std::string& text) { return addWidget(std::make_unique<PushButton>(text)); }

void ToolBar::addSeparator() { addWidget(std::make_unique<Text>())->setStyleClass("w-toolbar-separator"); }

}  // namespace web
