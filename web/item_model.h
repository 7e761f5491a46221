// Table-shaped item models: cells addressed by ModelIndex, values in
// std::any by role, flags per cell, header data, and signals that views
// follow.
#pragma once

#include <any>
#include <string>

#include "web/signals.h"
#include "web/widget.h"

namespace web {

enum ItemDataRole : int {
  DisplayRole = 0,
  DecorationRole = 1,  // an icon URL
  EditRole = 2,
  StyleClassRole = 3,
  CheckStateRole = 4,
  ToolTipRole = 5,
  UserRole = 32,
};

enum ItemFlag : unsigned {
  ItemIsSelectable = 0x1,
  ItemIsEditable = 0x2,
  ItemIsUserCheckable = 0x4,
  ItemIsDragEnabled = 0x8,
  ItemIsDropEnabled = 0x10,
  ItemIsMarkup = 0x20,  // the display text is our own markup
};

class AbstractItemModel;

class ModelIndex {
 public:
  ModelIndex() = default;
  int row() const { return row_; }
  int column() const { return column_; }
  const AbstractItemModel* model() const { return model_; }
  bool isValid() const { return model_ != nullptr; }
  std::any data(int role = DisplayRole) const;
  unsigned flags() const;

  bool operator==(const ModelIndex& o) const {
    return row_ == o.row_ && column_ == o.column_ && model_ == o.model_;
  }
  bool operator!=(const ModelIndex& o) const { return !(*this == o); }
  bool operator<(const ModelIndex& o) const {
    return row_ != o.row_ ? row_ < o.row_ : column_ < o.column_;
  }

 private:
  friend class AbstractItemModel;
  ModelIndex(int row, int column, const AbstractItemModel* model) : row_(row), column_(column), model_(model) {}
  int row_ = -1, column_ = -1;
  const AbstractItemModel* model_ = nullptr;
};

class AbstractItemModel {
 public:
  AbstractItemModel();
  virtual ~AbstractItemModel();
  AbstractItemModel(const AbstractItemModel&) = delete;
  AbstractItemModel& operator=(const AbstractItemModel&) = delete;

  virtual int rowCount() const = 0;
  virtual int columnCount() const = 0;
  virtual std::any data(const ModelIndex& index, int role = DisplayRole) const = 0;
  virtual bool setData(const ModelIndex& index, const std::any& value, int role = EditRole);
  virtual unsigned flags(const ModelIndex& index) const;
  virtual std::any headerData(int section, Orientation orientation = Horizontal, int role = DisplayRole) const;
  virtual bool setHeaderData(int section, Orientation orientation, const std::any& value, int role = EditRole);
  bool setHeaderData(int section, const std::any& value) { return setHeaderData(section, Horizontal, value); }
  virtual bool removeRows(int row, int count);
  bool removeRow(int row) { return removeRows(row, 1); }

  // A valid index inside the model, else an invalid one.
  ModelIndex index(int row, int column) const;

  Signal<ModelIndex, ModelIndex>& dataChanged() { return dataChanged_; }
  Signal<Orientation, int, int>& headerDataChanged() { return headerDataChanged_; }
  Signal<int, int>& rowsInserted() { return rowsInserted_; }
  Signal<int, int>& rowsRemoved() { return rowsRemoved_; }
  Signal<int, int>& columnsInserted() { return columnsInserted_; }
  Signal<int, int>& columnsRemoved() { return columnsRemoved_; }
  Signal<>& modelReset() { return modelReset_; }

 protected:
  Signal<ModelIndex, ModelIndex> dataChanged_;
  Signal<Orientation, int, int> headerDataChanged_;
  Signal<int, int> rowsInserted_, rowsRemoved_, columnsInserted_, columnsRemoved_;
  Signal<> modelReset_;
};

}  // namespace web
