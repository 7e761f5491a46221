#include "web/string_list_model.h"

#include <algorithm>

namespace web {

std::any StringListModel::data(const ModelIndex& index, int role) const {
  if (index.model() != this || !index.isValid() || (role != DisplayRole && role != EditRole)) return {};
  return strings_[static_cast<std::size_t>(index.row())];
}

bool StringListModel::setData(const ModelIndex& index, const std::any& value, int role) {
  if (index.model() != this || !index.isValid() || (role != DisplayRole && role != EditRole)) return false;
  const auto* s = std::any_cast<std::string>(&value);
  if (!s) return false;
  strings_[static_cast<std::size_t>(index.row())] = *s;
  dataChanged_.emit(index, index);
  return true;
}

unsigned StringListModel::flags(const ModelIndex&) const { return ItemIsSelectable | ItemIsEditable; }

bool StringListModel::removeRows(int row, int count) {
  if (row < 0 || count <= 0 || row + count > rowCount()) return false;
  strings_.erase(strings_.begin() + row, strings_.begin() + row + count);
  rowsRemoved_.emit(row, row + count - 1);
  return true;
}

void StringListModel::setStringList(std::vector<std::string> strings) {
  strings_ = std::move(strings);
  modelReset_.emit();
}

void StringListModel::addString(const std::string& s) { insertString(rowCount(), s); }

void StringListModel::insertString(int row, const std::string& s) {
  row = std::clamp(row, 0, rowCount());
  strings_.insert(strings_.begin() + row, s);
  rowsInserted_.emit(row, row);
}

}  // namespace web
