#include "web/item_model.h"

namespace web {

std::any ModelIndex::data(int role) const { return model_ ? model_->data(*this, role) : std::any(); }
unsigned ModelIndex::flags() const { return model_ ? model_->flags(*this) : 0; }

AbstractItemModel::AbstractItemModel() = default;
AbstractItemModel::~AbstractItemModel() = default;

bool AbstractItemModel::setData(const ModelIndex&, const std::any&, int) { return false; }
unsigned AbstractItemModel::flags(const ModelIndex&) const { return ItemIsSelectable; }
std::any AbstractItemModel::headerData(int, Orientation, int) const { return {}; }
bool AbstractItemModel::setHeaderData(int, Orientation, const std::any&, int) { return false; }
bool AbstractItemModel::removeRows(int, int) { return false; }

ModelIndex AbstractItemModel::index(int row, int column) const {
  if (row < 0 || column < 0 || row >= rowCount() || column >= columnCount()) return {};
  return ModelIndex(row, column, this);
}

}  // namespace web
