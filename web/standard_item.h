// One cell of a StandardItemModel: values by role, flags, and its place.
#pragma once

#include <any>
#include <string>
#include <utility>
#include <vector>

#include "web/item_model.h"

namespace web {

class StandardItemModel;

class StandardItem {
 public:
  StandardItem();
  explicit StandardItem(const std::string& text);
  StandardItem(const std::string& iconUrl, const std::string& text);
  StandardItem(const StandardItem&) = delete;
  StandardItem& operator=(const StandardItem&) = delete;

  void setText(const std::string& text) { setData(text, DisplayRole); }
  std::string text() const;
  void setIcon(const std::string& url) { setData(url, DecorationRole); }
  std::string icon() const;
  void setToolTip(const std::string& text) { setData(text, ToolTipRole); }
  std::string toolTip() const;
  void setStyleClass(const std::string& cls) { setData(cls, StyleClassRole); }

  // EditRole and DisplayRole are one value here.
  void setData(const std::any& value, int role = UserRole);
  std::any data(int role = UserRole) const;

  void setFlags(unsigned flags);
  unsigned flags() const { return flags_; }
  void setEditable(bool on) { setFlag(ItemIsEditable, on); }
  bool isEditable() const { return flags_ & ItemIsEditable; }
  void setSelectable(bool on) { setFlag(ItemIsSelectable, on); }
  void setDragEnabled(bool on) { setFlag(ItemIsDragEnabled, on); }
  void setDropEnabled(bool on) { setFlag(ItemIsDropEnabled, on); }

  int row() const { return row_; }
  int column() const { return column_; }
  StandardItemModel* model() const { return model_; }
  ModelIndex index() const;

 private:
  friend class StandardItemModel;
  void setFlag(unsigned flag, bool on) { setFlags(on ? flags_ | flag : flags_ & ~flag); }

  std::vector<std::pair<int, std::any>> data_;
  StandardItemModel* model_ = nullptr;
  int row_ = -1, column_ = -1;
  unsigned flags_ = ItemIsSelectable;
};

}  // namespace web
