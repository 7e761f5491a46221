// A table over an item model: headers, selection, double click with the
// cell's index, editing through delegates, column widths and hidden columns,
// alternating row colours, row height, and dragging a cell's text onto
// another cell.
//
// Each row is an element of its own, so a change inside a row sends that row
// to the page, not the table; a cell shown by a delegate's widget sends only
// that widget while the cell's own attributes stay as they were. Such a cell
// shows what its widget shows: the model's tooltip, icon and text are the
// widget's to render. Rows inserted or removed in the middle send the whole
// table.
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

class TableRow;

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
  // The cells' widgets (delegate widgets and open editors).
  void visitChildren(const std::function<void(Widget&)>& fn) override;
  // The row elements, through which the shown cells' widgets are reached.
  void visitRenderedChildren(const std::function<void(Widget&)>& fn) override;

 protected:
  void addEventNames(std::string& names) const override;
  void renderElement(std::string& out) override;

 private:
  friend class TableRow;
  using Key = std::pair<int, int>;
  struct Cell {
    std::unique_ptr<Widget> widget;
    bool editing = false;
    std::shared_ptr<AbstractItemDelegate> delegate;  // the one that made it
    std::string attributes;  // of its <td> as last rendered
  };

  std::shared_ptr<AbstractItemDelegate> delegateFor(int column) const;
  void follow();
  void structureChanged();
  // Row elements for every model row, numbered in order.
  void matchRows();
  void markRowDirty(int row);
  // A cell's widget belongs to its row's element.
  void adoptCell(int row, Widget& widget);
  // Brings the cell's widget up to date; true when its row must be sent
  // again (more than the widget changed).
  bool syncCell(int row, int column);
  // Every cell; sends the rows in which more than a widget changed.
  void syncAll();
  void onCloseEditor(AbstractItemDelegate* delegate, Widget* editor, bool save);
  void connectDelegate(const std::shared_ptr<AbstractItemDelegate>& d);
  ModelIndex parseCell(const std::string& arg) const;
  bool isSelectedCell(int row, int column) const;
  std::string cellAttributes(int row, int column, bool selected) const;
  void renderRow(std::string& out, int row);
  void renderCell(std::string& out, int row, int column, bool selected);
  void visitRowCells(int row, const std::function<void(Widget&)>& fn);

  std::shared_ptr<AbstractItemModel> model_;
  std::shared_ptr<AbstractItemDelegate> delegate_;
  std::map<int, std::shared_ptr<AbstractItemDelegate>> columnDelegates_;
  std::vector<ScopedConnection> modelConnections_;
  std::map<const AbstractItemDelegate*, ScopedConnection> delegateConnections_;
  std::map<Key, Cell> cells_;
  std::vector<std::unique_ptr<TableRow>> rows_;
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
