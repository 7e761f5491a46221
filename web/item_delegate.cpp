#include "web/item_delegate.h"

#include "web/any_text.h"
#include "web/line_edit.h"

namespace web {

AbstractItemDelegate::AbstractItemDelegate() = default;
AbstractItemDelegate::~AbstractItemDelegate() = default;

void AbstractItemDelegate::updateModelIndex(Widget*, const ModelIndex&) {}
std::any AbstractItemDelegate::editState(Widget*) const { return {}; }
void AbstractItemDelegate::setEditState(Widget*, const std::any&) const {}

void AbstractItemDelegate::setModelData(const std::any& editState, AbstractItemModel* model,
                                        const ModelIndex& index) const {
  if (model && index.isValid()) model->setData(index, editState, EditRole);
}

std::unique_ptr<Widget> ItemDelegate::update(std::unique_ptr<Widget> widget, const ModelIndex& index,
                                             unsigned flags) {
  if (!(flags & RenderEditing)) return nullptr;  // the view writes the data
  if (widget) return widget;
  return createEditor(index, flags);
}

std::unique_ptr<Widget> ItemDelegate::createEditor(const ModelIndex& index, unsigned) const {
  auto edit = std::make_unique<LineEdit>(asString(index.data(EditRole)));
  edit->setStyleClass("w-cell-editor");
  LineEdit* e = edit.get();
  e->enterPressed().connect([this, e] { doCloseEditor(e, true); });
  e->escapePressed().connect([this, e] { doCloseEditor(e, false); });
  e->blurred().connect([this, e] { doCloseEditor(e, true); });
  e->setFocus();
  return edit;
}

void ItemDelegate::doCloseEditor(Widget* editor, bool save) const { closeEditor().emit(editor, save); }

std::any ItemDelegate::editState(Widget* editor) const {
  if (auto* e = dynamic_cast<LineEdit*>(editor)) return e->text();
  return {};
}

void ItemDelegate::setEditState(Widget* editor, const std::any& value) const {
  if (auto* e = dynamic_cast<LineEdit*>(editor)) e->setText(asString(value));
}

}  // namespace web
