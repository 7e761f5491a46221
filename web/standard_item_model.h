// A model that stores its cells as StandardItems (owned), with header data.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "web/standard_item.h"

namespace web {

class StandardItemModel : public AbstractItemModel {
 public:
  explicit StandardItemModel(int rows = 0, int columns = 0);
  ~StandardItemModel() override;

  int rowCount() const override { return static_cast<int>(rows_.size()); }
  int columnCount() const override { return columns_; }
  std::any data(const ModelIndex& index, int role = DisplayRole) const override;
  bool setData(const ModelIndex& index, const std::any& value, int role = EditRole) override;
  unsigned flags(const ModelIndex& index) const override;
  std::any headerData(int section, Orientation orientation = Horizontal, int role = DisplayRole) const override;
  bool setHeaderData(int section, Orientation orientation, const std::any& value, int role = EditRole) override;
  using AbstractItemModel::setHeaderData;
  bool removeRows(int row, int count) override;

  StandardItem* item(int row, int column = 0) const;
  StandardItem* itemFromIndex(const ModelIndex& index) const;
  // Puts an item in a cell, growing the model to reach it.
  void setItem(int row, int column, std::unique_ptr<StandardItem> item);
  std::unique_ptr<StandardItem> takeItem(int row, int column = 0);
  void appendRow(std::vector<std::unique_ptr<StandardItem>> items);
  void appendRow(std::unique_ptr<StandardItem> item);
  void insertRow(int row, std::vector<std::unique_ptr<StandardItem>> items);
  bool insertRows(int row, int count);
  bool insertColumns(int column, int count);
  void setRowCount(int rows);
  void setColumnCount(int columns);
  // Removes every row (the headers stay).
  void clearRows();
  // Removes rows, columns and headers.
  void clear();

  // An item's value changed (by setData, setText, an editor, a drop).
  Signal<StandardItem*>& itemChanged() { return itemChanged_; }

 private:
  friend class StandardItem;
  void itemDataChanged(StandardItem* item);
  void itemFlagsChanged(StandardItem* item);
  void renumber(int fromRow);
  StandardItem* ensureItem(int row, int column);

  std::vector<std::vector<std::unique_ptr<StandardItem>>> rows_;
  int columns_;
  std::map<std::pair<int, int>, std::any> headers_;  // (section, role), horizontal
  std::map<std::pair<int, int>, std::any> rowHeaders_;
  Signal<StandardItem*> itemChanged_;
};

}  // namespace web
