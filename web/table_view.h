// A table over an item model: headers, selection, double click with the
// cell's index, editing through delegates, column widths and hidden columns,
// alternating row colours, row height, and dragging a cell's text onto
// another cell.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "web/item_delegate.h"
#include "web/item_model.h"
#include "web/widget.h"

namespace web {

enum class SelectionMode { None, Single, Extended };
enum class SelectionBehavior { Items, Rows };
enum class SelectionFlag { Select, Deselect, ClearAndSelect, Toggle };
enum EditTrigger : unsigned { NoEditTrigger = 0, SingleClicked = 0x1, DoubleClicked = 0x2 };

class TableView : public Widget {
 public:
  TableView();
  ~TableView() override;

  void setModel(std::shared_ptr<AbstractItemModel> model);
  const std::shared_ptr<AbstractItemModel>& model() const { return model_; }

  void setItemDelegate(std::shared_ptr<AbstractItemDelegate> delegate);
  void setItemDelegateForColumn(int column, std::shared_ptr<AbstractItemDelegate> delegate);
  AbstractItemDelegate* itemDelegate(int column) const;

  void setColumnWidth(int column, const Length& width);
  Length columnWidth(int column) const;
  void setColumnHidden(int column, bool hidden);
  bool isColumnHidden(int column) const;
  void setAlternatingRowColors(bool on);
  void setRowHeight(const Length& height);
  void setHeaderHeight(const Length& height);

  void setSelectionMode(SelectionMode mode);
  SelectionMode selectionMode() const { return selectionMode_; }
  void setSelectionBehavior(SelectionBehavior behavior);
  // As a click would: emits selectionChanged() when the selection changes.
  void select(const ModelIndex& index, SelectionFlag flag = SelectionFlag::Select);
  void clearSelection();
  bool isSelected(const ModelIndex& index) const;
  // In row order; for whole-row selection one index (column 0) per row.
  std::vector<ModelIndex> selectedIndexes() const;

  void setEditTriggers(unsigned triggers) { editTriggers_ = triggers; }
  void edit(const ModelIndex& index);
  void closeEditor(const ModelIndex& index, bool save);
  bool isEditing(const ModelIndex& index) const;
  void setDragEnabled(bool on);
  void setDropsEnabled(bool on);

  // These hide the widget's plain signals: a view's carry the cell.
  EventSignal<ModelIndex, MouseEvent>& clicked() { return cellClicked_; }
  EventSignal<ModelIndex, MouseEvent>& doubleClicked() { return cellDoubleClicked_; }
  Signal<>& selectionChanged() { return selectionChanged_; }

  void handleEvent(const Event& event) override;
  void visitChildren(const std::function<void(Widget&)>& fn) override;

 protected:
  void addEventNames(std::string& names) const override;
  void renderElement(std::string& out) override;

 private:
  using Key = std::pair<int, int>;
  struct Cell {
    std::unique_ptr<Widget> widget;
    bool editing = false;
    std::shared_ptr<AbstractItemDelegate> delegate;  // the one that made it
  };

  std::shared_ptr<AbstractItemDelegate> delegateFor(int column) const;
  void follow();
  void structureChanged();
  void syncCell(int row, int column);
  void syncAll();
  void onCloseEditor(AbstractItemDelegate* delegate, Widget* editor, bool save);
  void connectDelegate(const std::shared_ptr<AbstractItemDelegate>& d);
  ModelIndex parseCell(const std::string& arg) const;
  void renderCell(std::string& out, int row, int column, bool selected);

  std::shared_ptr<AbstractItemModel> model_;
  std::shared_ptr<AbstractItemDelegate> delegate_;
  std::map<int, std::shared_ptr<AbstractItemDelegate>> columnDelegates_;
  std::vector<ScopedConnection> modelConnections_;
  std::map<const AbstractItemDelegate*, ScopedConnection> delegateConnections_;
  std::map<Key, Cell> cells_;
  std::map<int, Length> columnWidths_;
  std::set<int> hiddenColumns_;
  std::set<Key> selection_;  // (row, column); (row, -1) for rows
  Length rowHeight_, headerHeight_;
  EventSignal<ModelIndex, MouseEvent> cellClicked_{this}, cellDoubleClicked_{this};
  Signal<> selectionChanged_;
  SelectionMode selectionMode_ = SelectionMode::None;
  SelectionBehavior selectionBehavior_ = SelectionBehavior::Items;
  unsigned editTriggers_ = DoubleClicked;
  bool alternating_ = false;
  bool drag_ = false, drops_ = false;
};

}  // namespace web
