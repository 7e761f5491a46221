// Delegates decide what a table cell shows and how it is edited. A view asks
// its delegate for each cell's widget: null lets the view write the cell's
// data itself (the cheap, common case); an editor widget while the cell is
// edited. The editor asks to close through closeEditor().
#pragma once

#include <any>
#include <memory>

#include "web/item_model.h"
#include "web/signals.h"
#include "web/widget.h"

namespace web {

enum ViewItemRenderFlag : unsigned { RenderNone = 0, RenderSelected = 0x1, RenderEditing = 0x2 };

class AbstractItemDelegate {
 public:
  AbstractItemDelegate();
  virtual ~AbstractItemDelegate();
  AbstractItemDelegate(const AbstractItemDelegate&) = delete;
  AbstractItemDelegate& operator=(const AbstractItemDelegate&) = delete;

  // The cell's widget. `widget` is what this returned for the cell last time
  // (null the first time): reuse it or drop it.
  virtual std::unique_ptr<Widget> update(std::unique_ptr<Widget> widget, const ModelIndex& index,
                                         unsigned flags) = 0;
  // Rows moved: the cell widget now stands for another index.
  virtual void updateModelIndex(Widget* widget, const ModelIndex& index);
  virtual std::any editState(Widget* editor) const;
  virtual void setEditState(Widget* editor, const std::any& value) const;
  virtual void setModelData(const std::any& editState, AbstractItemModel* model, const ModelIndex& index) const;

  // (editor, save). A null editor asks every view to drop the open editors
  // of this delegate and to redraw its cells.
  Signal<Widget*, bool>& closeEditor() const { return closeEditor_; }

 private:
  mutable Signal<Widget*, bool> closeEditor_;
};

// Shows the data; edits text in a line edit: Enter and leaving the field
// save, Escape does not.
class ItemDelegate : public AbstractItemDelegate {
 public:
  std::unique_ptr<Widget> update(std::unique_ptr<Widget> widget, const ModelIndex& index, unsigned flags) override;
  std::any editState(Widget* editor) const override;
  void setEditState(Widget* editor, const std::any& value) const override;

 protected:
  virtual std::unique_ptr<Widget> createEditor(const ModelIndex& index, unsigned flags) const;
  // Subclasses check the text here and may keep the editor open.
  virtual void doCloseEditor(Widget* editor, bool save) const;
};

}  // namespace web
