#include "gui/node_config_delegates.h"

#include "gui/util.h"
#include "modules/error.h"
#include "modules/nodes.h"
#include "web/any_text.h"
#include "web/application.h"
#include "web/line_edit.h"
#include "web/message_box.h"
#include "web/text.h"
#include "web/text_format.h"

CheckedItemDelegate::CheckedItemDelegate(std::string logName, bool (*valid)(const std::string&), std::string refusal,
                                         bool quietWhenEmpty)
    : logName_(std::move(logName)), valid_(valid), refusal_(std::move(refusal)), quietWhenEmpty_(quietWhenEmpty) {}

std::unique_ptr<web::Widget> CheckedItemDelegate::createEditor(const web::ModelIndex& index, unsigned flags) const {
  orig_ = web::asString(index.data(web::EditRole));
  std::unique_ptr<web::Widget> editor = ItemDelegate::createEditor(index, flags);
  if (auto* line = dynamic_cast<web::LineEdit*>(editor.get())) prepare(*line);
  return editor;
}

void CheckedItemDelegate::doCloseEditor(web::Widget* editor, bool save) const {
  TRL_LOG("[" << logName_ << "] doCloseEditor");
  const std::string text = web::asString(editState(editor));
  // Escape must always get the person out of a cell, whatever was typed.
  if (!save || text == orig_) {
    ItemDelegate::doCloseEditor(editor, false);
    return;
  }
  if (valid_(text.empty() ? "unset" : text)) {
    ItemDelegate::doCloseEditor(editor, true);
    return;
  }
  if (text.empty() && quietWhenEmpty_) return;
  // Not waited for: the grid may be rebuilt before the person answers, and
  // the editor with it; OK finds the editor again by its id, if it is still there.
  web::Application* const app = web::Application::instance();
  if (!app) return;
  web::MessageBox::open("Error", refusal_, web::Ok, [app, id = editor->id()](web::StandardButton) {
    if (web::Widget* open = app->root()->find(id)) open->setFocus();
  });
}

HostNameItemDelegate::HostNameItemDelegate()
    : CheckedItemDelegate("HostNameItemDelegate", Util::isValidHostName,
                          "Enter a hostname with only alphanumeric, dash and underscore characters", false) {}

void HostNameItemDelegate::prepare(web::LineEdit& editor) const { editor.setMaxLength(Nodes::name_max - 1); }

MacAddrItemDelegate::MacAddrItemDelegate()
    : CheckedItemDelegate("MacAddrItemDelegate", Util::isValidMacAddr,
                          "Please enter a valid MAC address: xx:xx:xx:xx:xx:xx", true) {}

void MacAddrItemDelegate::prepare(web::LineEdit& editor) const {
  editor.setMaxLength(17);
  editor.setEmptyText("xx:xx:xx:xx:xx:xx");
}

std::unique_ptr<web::Widget> PowerCellDelegate::update(std::unique_ptr<web::Widget> widget,
                                                       const web::ModelIndex& index, unsigned) {
  auto* cell = dynamic_cast<web::Text*>(widget.get());
  if (!cell) {
    widget = std::make_unique<web::Text>(std::string(), web::TextFormat::Markup);
    cell = static_cast<web::Text*>(widget.get());
    cell->setWordWrap(false);
  }
  const std::string icon = web::asString(index.data(web::DecorationRole));
  std::string markup;
  if (!icon.empty()) markup = "<img class=\"w-cell-icon\" src=\"" + web::escapeHtml(icon) + "\" alt=\"\" />";
  markup += web::escapeHtml(web::asString(index.data(web::DisplayRole)));
  cell->setText(markup);
  cell->setToolTip(web::asString(index.data(web::ToolTipRole)));
  return widget;
}
