#include "web/standard_item_model.h"

#include <algorithm>

namespace web {

namespace {

int normalRole(int role) { return role == EditRole ? DisplayRole : role; }

bool sameText(const std::any& a, const std::any& b) {
  const auto* x = std::any_cast<std::string>(&a);
  const auto* y = std::any_cast<std::string>(&b);
  return x && y && *x == *y;
}

}  // namespace

StandardItem::StandardItem() = default;
StandardItem::StandardItem(const std::string& text) { data_.emplace_back(DisplayRole, text); }
StandardItem::StandardItem(const std::string& iconUrl, const std::string& text) {
  data_.emplace_back(DisplayRole, text);
  data_.emplace_back(DecorationRole, iconUrl);
}

void StandardItem::setData(const std::any& value, int role) {
  role = normalRole(role);
  auto it = std::find_if(data_.begin(), data_.end(), [&](const auto& p) { return p.first == role; });
  if (it != data_.end()) {
    if (sameText(it->second, value)) return;  // nothing to tell anyone
    it->second = value;
  } else {
    data_.emplace_back(role, value);
  }
  if (model_) model_->itemDataChanged(this);
}

std::any StandardItem::data(int role) const {
  role = normalRole(role);
  const auto it = std::find_if(data_.begin(), data_.end(), [&](const auto& p) { return p.first == role; });
  return it == data_.end() ? std::any() : it->second;
}

std::string StandardItem::text() const {
  const std::any v = data(DisplayRole);
  const auto* s = std::any_cast<std::string>(&v);
  return s ? *s : std::string();
}

std::string StandardItem::icon() const {
  const std::any v = data(DecorationRole);
  const auto* s = std::any_cast<std::string>(&v);
  return s ? *s : std::string();
}

std::string StandardItem::toolTip() const {
  const std::any v = data(ToolTipRole);
  const auto* s = std::any_cast<std::string>(&v);
  return s ? *s : std::string();
}

void StandardItem::setFlags(unsigned flags) {
  if (flags_ == flags) return;
  flags_ = flags;
  if (model_) model_->itemFlagsChanged(this);
}

ModelIndex StandardItem::index() const { return model_ ? model_->index(row_, column_) : ModelIndex(); }

StandardItemModel::StandardItemModel(int rows, int columns) : columns_(std::max(0, columns)) {
  rows_.resize(static_cast<std::size_t>(std::max(0, rows)));
  for (auto& r : rows_) r.resize(static_cast<std::size_t>(columns_));
}

StandardItemModel::~StandardItemModel() = default;

StandardItem* StandardItemModel::item(int row, int column) const {
  if (row < 0 || column < 0 || row >= rowCount() || column >= columns_) return nullptr;
  return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)].get();
}

StandardItem* StandardItemModel::itemFromIndex(const ModelIndex& index) const {
  if (index.model() != this) return nullptr;
  return item(index.row(), index.column());
}

std::any StandardItemModel::data(const ModelIndex& index, int role) const {
  const StandardItem* it = itemFromIndex(index);
  return it ? it->data(role) : std::any();
}

StandardItem* StandardItemModel::ensureItem(int row, int column) {
  auto& slot = rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  if (!slot) {
    slot = std::make_unique<StandardItem>();
    slot->model_ = this;
    slot->row_ = row;
    slot->column_ = column;
  }
  return slot.get();
}

bool StandardItemModel::setData(const ModelIndex& index, const std::any& value, int role) {
  if (index.model() != this || !index.isValid()) return false;
  ensureItem(index.row(), index.column())->setData(value, role);
  return true;
}

unsigned StandardItemModel::flags(const ModelIndex& index) const {
  const StandardItem* it = itemFromIndex(index);
  return it ? it->flags() : static_cast<unsigned>(ItemIsSelectable);
}

std::any StandardItemModel::headerData(int section, Orientation orientation, int role) const {
  const auto& map = orientation == Horizontal ? headers_ : rowHeaders_;
  const auto it = map.find({section, normalRole(role)});
  return it == map.end() ? std::any() : it->second;
}

bool StandardItemModel::setHeaderData(int section, Orientation orientation, const std::any& value, int role) {
  if (section < 0) return false;
  auto& map = orientation == Horizontal ? headers_ : rowHeaders_;
  map[{section, normalRole(role)}] = value;
  headerDataChanged_.emit(orientation, section, section);
  return true;
}

void StandardItemModel::itemDataChanged(StandardItem* item) {
  const ModelIndex i = index(item->row_, item->column_);
  dataChanged_.emit(i, i);
  itemChanged_.emit(item);
}

void StandardItemModel::itemFlagsChanged(StandardItem* item) {
  // Flags change how a view shows the cell, not the value: no itemChanged.
  const ModelIndex i = index(item->row_, item->column_);
  dataChanged_.emit(i, i);
}

void StandardItemModel::renumber(int fromRow) {
  for (int r = std::max(0, fromRow); r < rowCount(); ++r)
    for (int c = 0; c < columns_; ++c)
      if (auto& it = rows_[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)]) {
        it->row_ = r;
        it->column_ = c;
      }
}

void StandardItemModel::setItem(int row, int column, std::unique_ptr<StandardItem> item) {
  if (row < 0 || column < 0) return;
  if (column >= columns_) setColumnCount(column + 1);
  if (row >= rowCount()) setRowCount(row + 1);
  if (item) {
    item->model_ = this;
    item->row_ = row;
    item->column_ = column;
  }
  rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = std::move(item);
  const ModelIndex i = index(row, column);
  dataChanged_.emit(i, i);
}

std::unique_ptr<StandardItem> StandardItemModel::takeItem(int row, int column) {
  if (!item(row, column)) return nullptr;
  std::unique_ptr<StandardItem> it = std::move(rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)]);
  it->model_ = nullptr;
  const ModelIndex i = index(row, column);
  dataChanged_.emit(i, i);
  return it;
}

void StandardItemModel::insertRow(int row, std::vector<std::unique_ptr<StandardItem>> items) {
  row = std::clamp(row, 0, rowCount());
  if (static_cast<int>(items.size()) > columns_) setColumnCount(static_cast<int>(items.size()));
  std::vector<std::unique_ptr<StandardItem>> cells(static_cast<std::size_t>(columns_));
  for (std::size_t c = 0; c < items.size(); ++c) {
    if (items[c]) items[c]->model_ = this;
    cells[c] = std::move(items[c]);
  }
  rows_.insert(rows_.begin() + row, std::move(cells));
  renumber(row);
  rowsInserted_.emit(row, row);
}

void StandardItemModel::appendRow(std::vector<std::unique_ptr<StandardItem>> items) {
  insertRow(rowCount(), std::move(items));
}

void StandardItemModel::appendRow(std::unique_ptr<StandardItem> item) {
  std::vector<std::unique_ptr<StandardItem>> items;
  items.push_back(std::move(item));
  appendRow(std::move(items));
}

bool StandardItemModel::insertRows(int row, int count) {
  if (row < 0 || row > rowCount() || count <= 0) return false;
  for (int i = 0; i < count; ++i) {
    std::vector<std::unique_ptr<StandardItem>> cells(static_cast<std::size_t>(columns_));
    rows_.insert(rows_.begin() + row, std::move(cells));
  }
  renumber(row);
  rowsInserted_.emit(row, row + count - 1);
  return true;
}

bool StandardItemModel::removeRows(int row, int count) {
  if (row < 0 || count <= 0 || row + count > rowCount()) return false;
  rows_.erase(rows_.begin() + row, rows_.begin() + row + count);
  renumber(row);
  rowsRemoved_.emit(row, row + count - 1);
  return true;
}

bool StandardItemModel::insertColumns(int column, int count) {
  if (column < 0 || column > columns_ || count <= 0) return false;
  for (auto& r : rows_)
    for (int i = 0; i < count; ++i) r.insert(r.begin() + column, nullptr);
  columns_ += count;
  renumber(0);
  columnsInserted_.emit(column, column + count - 1);
  return true;
}

void StandardItemModel::setRowCount(int rows) {
  rows = std::max(0, rows);
  if (rows > rowCount())
    insertRows(rowCount(), rows - rowCount());
  else if (rows < rowCount())
    removeRows(rows, rowCount() - rows);
}

void StandardItemModel::setColumnCount(int columns) {
  columns = std::max(0, columns);
  if (columns > columns_) {
    insertColumns(columns_, columns - columns_);
  } else if (columns < columns_) {
    const int old = columns_;
    for (auto& r : rows_) r.resize(static_cast<std::size_t>(columns));
    columns_ = columns;
    columnsRemoved_.emit(columns, old - 1);
  }
}

void StandardItemModel::clearRows() {
  if (rows_.empty()) return;
  const int n = rowCount();
  rows_.clear();
  rowsRemoved_.emit(0, n - 1);
}

void StandardItemModel::clear() {
  rows_.clear();
  columns_ = 0;
  headers_.clear();
  rowHeaders_.clear();
  modelReset_.emit();
}

}  // namespace web
