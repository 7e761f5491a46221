// A one-column model of strings: the choices of a combo box.
#pragma once

#include <string>
#include <vector>

#include "web/item_model.h"

namespace web {

class StringListModel : public AbstractItemModel {
 public:
  StringListModel() = default;
  explicit StringListModel(std::vector<std::string> strings) : strings_(std::move(strings)) {}

  int rowCount() const override { return static_cast<int>(strings_.size()); }
  int columnCount() const override { return 1; }
  std::any data(const ModelIndex& index, int role = DisplayRole) const override;
  bool setData(const ModelIndex& index, const std::any& value, int role = EditRole) override;
  unsigned flags(const ModelIndex& index) const override;
  bool removeRows(int row, int count) override;

  void setStringList(std::vector<std::string> strings);
  const std::vector<std::string>& stringList() const { return strings_; }
  void addString(const std::string& s);
  void insertString(int row, const std::string& s);

 private:
  std::vector<std::string> strings_;
};

}  // namespace web
