#include "web/table_view.h"

#include <algorithm>
#include <cstdlib>

#include "web/any_text.h"

namespace web {

namespace {
constexpr int DefaultColumnWidth = 150;  // px, when none is set
}

TableView::TableView() : delegate_(std::make_shared<ItemDelegate>()) { connectDelegate(delegate_); }

TableView::~TableView() {
  // Cell widgets may hold connections into the delegates: drop them first.
  cells_.clear();
}

void TableView::setModel(std::shared_ptr<AbstractItemModel> model) {
  model_ = std::move(model);
  follow();
  structureChanged();
}

void TableView::follow() {
  modelConnections_.clear();
  if (!model_) return;
  AbstractItemModel& m = *model_;
  modelConnections_.emplace_back(m.dataChanged().connect([this](ModelIndex tl, ModelIndex br) {
    for (int r = tl.row(); r <= br.row(); ++r)
      for (int c = tl.column(); c <= br.column(); ++c) syncCell(r, c);
    markDirty();
  }));
  modelConnections_.emplace_back(m.headerDataChanged().connect([this] { markDirty(); }));
  modelConnections_.emplace_back(m.rowsInserted().connect([this](int first, int last) {
    const bool append = std::none_of(cells_.begin(), cells_.end(), [&](const auto& c) { return c.first.first >= first; }) &&
                        std::none_of(selection_.begin(), selection_.end(), [&](const Key& k) { return k.first >= first; });
    if (!append) {
      structureChanged();
      return;
    }
    for (int r = first; r <= last; ++r)
      for (int c = 0; c < model_->columnCount(); ++c) syncCell(r, c);
    markDirty();
  }));
  modelConnections_.emplace_back(m.rowsRemoved().connect([this] { structureChanged(); }));
  modelConnections_.emplace_back(m.columnsInserted().connect([this] { structureChanged(); }));
  modelConnections_.emplace_back(m.columnsRemoved().connect([this] { structureChanged(); }));
  modelConnections_.emplace_back(m.modelReset().connect([this] { structureChanged(); }));
}

void TableView::structureChanged() {
  // Indexes moved: open editors close without saving, the selection goes.
  for (auto& [k, cell] : cells_) dispose(std::move(cell.widget));
  cells_.clear();
  selection_.clear();
  syncAll();
  markDirty();
}

std::shared_ptr<AbstractItemDelegate> TableView::delegateFor(int column) const {
  const auto it = columnDelegates_.find(column);
  return it != columnDelegates_.end() ? it->second : delegate_;
}

AbstractItemDelegate* TableView::itemDelegate(int column) const { return delegateFor(column).get(); }

void TableView::connectDelegate(const std::shared_ptr<AbstractItemDelegate>& d) {
  if (!d || delegateConnections_.count(d.get())) return;
  AbstractItemDelegate* raw = d.get();
  delegateConnections_.emplace(
      raw, d->closeEditor().connect([this, raw](Widget* editor, bool save) { onCloseEditor(raw, editor, save); }));
}

void TableView::setItemDelegate(std::shared_ptr<AbstractItemDelegate> delegate) {
  if (!delegate) return;
  delegate_ = std::move(delegate);
  connectDelegate(delegate_);
  syncAll();
}

void TableView::setItemDelegateForColumn(int column, std::shared_ptr<AbstractItemDelegate> delegate) {
  if (delegate) {
    connectDelegate(delegate);
    columnDelegates_[column] = std::move(delegate);
  } else {
    columnDelegates_.erase(column);
  }
  if (model_)
    for (int r = 0; r < model_->rowCount(); ++r) syncCell(r, column);
  markDirty();
}

void TableView::syncCell(int row, int column) {
  if (!model_) return;
  const Key k{row, column};
  const std::shared_ptr<AbstractItemDelegate> delegate = delegateFor(column);
  std::unique_ptr<Widget> old;
  const auto it = cells_.find(k);
  if (it != cells_.end()) {
    if (it->second.editing) return;  // an open editor stays as it is
    if (it->second.delegate == delegate)
      old = std::move(it->second.widget);
    else
      dispose(std::move(it->second.widget));
    cells_.erase(it);
  }
  const ModelIndex index = model_->index(row, column);
  if (!index.isValid()) {
    dispose(std::move(old));
    return;
  }
  Widget* const reused = old.get();
  std::unique_ptr<Widget> w = delegate->update(std::move(old), index, isSelected(index) ? RenderSelected : RenderNone);
  if (w) {
    if (w.get() != reused) adopt(*w);
    cells_[k] = Cell{std::move(w), false, delegate};
  }
}

void TableView::syncAll() {
  if (!model_) return;
  for (auto it = cells_.begin(); it != cells_.end();) {
    if (it->first.first >= model_->rowCount() || it->first.second >= model_->columnCount()) {
      dispose(std::move(it->second.widget));
      it = cells_.erase(it);
    } else {
      ++it;
    }
  }
  for (int r = 0; r < model_->rowCount(); ++r)
    for (int c = 0; c < model_->columnCount(); ++c) syncCell(r, c);
  markDirty();
}

void TableView::setColumnWidth(int column, const Length& width) {
  columnWidths_[column] = width;
  markDirty();
}

Length TableView::columnWidth(int column) const {
  const auto it = columnWidths_.find(column);
  return it == columnWidths_.end() ? Length(DefaultColumnWidth) : it->second;
}

void TableView::setColumnHidden(int column, bool hidden) {
  if (hidden)
    hiddenColumns_.insert(column);
  else
    hiddenColumns_.erase(column);
  markDirty();
}

bool TableView::isColumnHidden(int column) const { return hiddenColumns_.count(column) > 0; }

void TableView::setAlternatingRowColors(bool on) {
  alternating_ = on;
  markDirty();
}

void TableView::setRowHeight(const Length& height) {
  rowHeight_ = height;
  markDirty();
}

void TableView::setHeaderHeight(const Length& height) {
  headerHeight_ = height;
  markDirty();
}

void TableView::setSelectionMode(SelectionMode mode) {
  selectionMode_ = mode;
  if (mode == SelectionMode::None) clearSelection();
}

void TableView::setSelectionBehavior(SelectionBehavior behavior) {
  if (selectionBehavior_ == behavior) return;
  selectionBehavior_ = behavior;
  selection_.clear();
  markDirty();
}

bool TableView::isSelected(const ModelIndex& index) const {
  if (!index.isValid()) return false;
  if (selectionBehavior_ == SelectionBehavior::Rows) return selection_.count({index.row(), -1}) > 0;
  return selection_.count({index.row(), index.column()}) > 0;
}

void TableView::select(const ModelIndex& index, SelectionFlag flag) {
  if (!model_ || index.model() != model_.get() || !index.isValid() || selectionMode_ == SelectionMode::None) return;
  const Key k = selectionBehavior_ == SelectionBehavior::Rows ? Key{index.row(), -1} : Key{index.row(), index.column()};
  std::set<Key> next = selection_;
  switch (flag) {
    case SelectionFlag::Select:
      if (selectionMode_ == SelectionMode::Single) next.clear();
      next.insert(k);
      break;
    case SelectionFlag::ClearAndSelect:
      next.clear();
      next.insert(k);
      break;
    case SelectionFlag::Deselect: next.erase(k); break;
    case SelectionFlag::Toggle:
      if (next.count(k)) {
        next.erase(k);
      } else {
        if (selectionMode_ == SelectionMode::Single) next.clear();
        next.insert(k);
      }
      break;
  }
  if (next == selection_) return;
  selection_.swap(next);
  markDirty();
  selectionChanged_.emit();
}

void TableView::clearSelection() {
  if (selection_.empty()) return;
  selection_.clear();
  markDirty();
  selectionChanged_.emit();
}

std::vector<ModelIndex> TableView::selectedIndexes() const {
  std::vector<ModelIndex> out;
  if (!model_) return out;
  for (const auto& [r, c] : selection_) {
    const ModelIndex i = model_->index(r, c < 0 ? 0 : c);
    if (i.isValid()) out.push_back(i);
  }
  return out;
}

void TableView::edit(const ModelIndex& index) {
  if (!model_ || index.model() != model_.get() || !index.isValid()) return;
  if (!(model_->flags(index) & ItemIsEditable)) return;
  const Key k{index.row(), index.column()};
  auto it = cells_.find(k);
  if (it != cells_.end() && it->second.editing) return;
  const std::shared_ptr<AbstractItemDelegate> delegate = delegateFor(index.column());
  std::unique_ptr<Widget> old;
  if (it != cells_.end()) {
    old = std::move(it->second.widget);
    cells_.erase(it);
  }
  Widget* const reused = old.get();
  std::unique_ptr<Widget> editor = delegate->update(std::move(old), index, RenderEditing);
  if (!editor) return;
  if (editor.get() != reused) adopt(*editor);
  cells_[k] = Cell{std::move(editor), true, delegate};
  markDirty();
}

bool TableView::isEditing(const ModelIndex& index) const {
  const auto it = cells_.find({index.row(), index.column()});
  return it != cells_.end() && it->second.editing;
}

void TableView::closeEditor(const ModelIndex& index, bool save) {
  const auto it = cells_.find({index.row(), index.column()});
  if (it == cells_.end() || !it->second.editing) return;
  onCloseEditor(it->second.delegate.get(), it->second.widget.get(), save);
}

void TableView::onCloseEditor(AbstractItemDelegate* delegate, Widget* editor, bool save) {
  if (!editor) {
    for (auto& [k, cell] : cells_)
      if (cell.delegate.get() == delegate) cell.editing = false;
    syncAll();
    return;
  }
  const auto it = std::find_if(cells_.begin(), cells_.end(),
                               [&](const auto& c) { return c.second.widget.get() == editor && c.second.editing; });
  if (it == cells_.end()) return;
  const Key k = it->first;
  const std::shared_ptr<AbstractItemDelegate> owner = it->second.delegate;
  std::unique_ptr<Widget> closing = std::move(it->second.widget);
  cells_.erase(it);
  const ModelIndex index = model_ ? model_->index(k.first, k.second) : ModelIndex();
  if (save && index.isValid())
    owner->setModelData(owner->editState(closing.get()), model_.get(), index);  // syncs the cell
  syncCell(k.first, k.second);
  // The editor may be the one emitting: it goes after this event.
  dispose(std::move(closing));
  markDirty();
}

void TableView::setDragEnabled(bool on) {
  drag_ = on;
  markDirty();
}

void TableView::setDropsEnabled(bool on) {
  drops_ = on;
  markDirty();
}

ModelIndex TableView::parseCell(const std::string& arg) const {
  if (!model_) return {};
  const auto comma = arg.find(',');
  if (comma == std::string::npos) return {};
  char* end = nullptr;
  const long r = std::strtol(arg.c_str(), &end, 10);
  if (end != arg.c_str() + comma) return {};
  const long c = std::strtol(arg.c_str() + comma + 1, &end, 10);
  if (*end != '\0') return {};
  return model_->index(static_cast<int>(r), static_cast<int>(c));
}

void TableView::addEventNames(std::string& names) const {
  Widget::addEventNames(names);
  names += names.empty() ? "click dblclick" : " click dblclick";
  if (drops_) names += " drop";
}

void TableView::handleEvent(const Event& event) {
  const ModelIndex index = parseCell(event.arg);
  if (event.type == "click") {
    if (!index.isValid()) return;
    if (model_->flags(index) & ItemIsSelectable)
      select(index, selectionMode_ == SelectionMode::Extended ? SelectionFlag::Toggle : SelectionFlag::Select);
    if (editTriggers_ & SingleClicked) edit(index);
    cellClicked_.emit(index, MouseEvent{event.arg});
  } else if (event.type == "dblclick") {
    if (!index.isValid()) return;
    if (editTriggers_ & DoubleClicked) edit(index);
    cellDoubleClicked_.emit(index, MouseEvent{event.arg});
  } else if (event.type == "drop") {
    const ModelIndex source = parseCell(event.source);
    if (!drag_ || !drops_ || !index.isValid() || !source.isValid() || index == source) return;
    if (!(model_->flags(source) & ItemIsDragEnabled) || !(model_->flags(index) & ItemIsDropEnabled)) return;
    model_->setData(index, asString(model_->data(source, DisplayRole)), EditRole);
  } else {
    Widget::handleEvent(event);
  }
}

void TableView::visitChildren(const std::function<void(Widget&)>& fn) {
  for (auto& [k, cell] : cells_)
    if (cell.widget) fn(*cell.widget);
}

void TableView::renderCell(std::string& out, int row, int column, bool selected) {
  const ModelIndex index = model_->index(row, column);
  const unsigned flags = model_->flags(index);
  out += "<td data-arg=\"" + std::to_string(row) + "," + std::to_string(column) + "\"";
  std::string cls = selected ? "w-sel" : "";
  const std::string styleClass = asString(index.data(StyleClassRole));
  if (!styleClass.empty()) cls += (cls.empty() ? "" : " ") + styleClass;
  if (!cls.empty()) {
    out += " class=\"";
    appendEscaped(out, cls);
    out += '"';
  }
  const std::string tip = asString(index.data(ToolTipRole));
  if (!tip.empty()) {
    out += " title=\"";
    appendEscaped(out, tip);
    out += '"';
  }
  if (drag_ && (flags & ItemIsDragEnabled)) out += " draggable=\"true\"";
  if (drops_ && (flags & ItemIsDropEnabled)) out += " data-drop=\"1\"";
  out += '>';
  const auto it = cells_.find({row, column});
  if (it != cells_.end() && it->second.widget) {
    it->second.widget->render(out);
  } else {
    const std::string icon = asString(index.data(DecorationRole));
    if (!icon.empty()) {
      out += "<img class=\"w-cell-icon\" src=\"";
      appendEscaped(out, icon);
      out += "\" alt=\"\">";
    }
    appendHtml(out, asString(index.data(DisplayRole)), (flags & ItemIsMarkup) ? TextFormat::Markup : TextFormat::Plain);
  }
  out += "</td>";
}

void TableView::renderElement(std::string& out) {
  openTag(out, alternating_ ? "w-tableview w-alternating" : "w-tableview", "overflow:auto");
  out += '>';
  if (!model_) {
    out += "</div>";
    return;
  }
  const int rows = model_->rowCount();
  const int columns = model_->columnCount();
  std::vector<int> shown;
  double total = 0;
  bool allPixels = true;
  for (int c = 0; c < columns; ++c) {
    if (isColumnHidden(c)) continue;
    shown.push_back(c);
    const Length w = columnWidth(c);
    if (w.unit() == Length::Unit::Pixel)
      total += w.value();
    else
      allPixels = false;
  }
  out += "<table class=\"w-table\"";
  if (allPixels) out += " style=\"table-layout:fixed;width:" + Length::px(total).css() + "\"";
  out += "><colgroup>";
  for (const int c : shown) {
    const Length w = columnWidth(c);
    out += w.isAuto() ? "<col>" : "<col style=\"width:" + w.css() + "\">";
  }
  out += "</colgroup><thead><tr";
  if (!headerHeight_.isAuto()) out += " style=\"height:" + headerHeight_.css() + "\"";
  out += '>';
  for (const int c : shown) {
    out += "<th>";
    appendEscaped(out, asString(model_->headerData(c, Horizontal, DisplayRole)));
    out += "</th>";
  }
  out += "</tr></thead><tbody>";
  const std::string rowStyle = rowHeight_.isAuto() ? std::string() : " style=\"height:" + rowHeight_.css() + "\"";
  for (int r = 0; r < rows; ++r) {
    const bool rowSelected = selectionBehavior_ == SelectionBehavior::Rows && selection_.count({r, -1});
    out += rowSelected ? "<tr class=\"w-sel\"" : "<tr";
    out += rowStyle;
    out += '>';
    for (const int c : shown) renderCell(out, r, c, rowSelected || selection_.count({r, c}) > 0);
    out += "</tr>";
  }
  out += "</tbody></table></div>";
}

}  // namespace web
