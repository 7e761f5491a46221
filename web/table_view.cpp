#include "web/table_view.h"

#include <algorithm>
#include <cstdlib>

#include "web/any_text.h"

namespace web {

namespace {
constexpr int DefaultColumnWidth = 150;  // px, when none is set
}

// One <tr>, an element of its own: what changes inside it goes to the page
// without the rest of the table.
class TableRow : public Widget {
 public:
  TableRow(TableView& view, int row) : view_(view), row_(row) {}
  // The widgets of its cells that are shown.
  void visitChildren(const std::function<void(Widget&)>& fn) override { view_.visitRowCells(row_, fn); }

 protected:
  const char* tagName() const override { return "tr"; }
  void renderElement(std::string& out) override {
    const bool selected =
        view_.selectionBehavior_ == SelectionBehavior::Rows && view_.selection_.count({row_, -1}) > 0;
    openTag(out, selected ? "w-sel" : "", view_.rowHeight_.isAuto() ? "" : "height:" + view_.rowHeight_.css());
    out += '>';
    view_.renderRow(out, row_);
    out += "</tr>";
  }

 private:
  TableView& view_;
  const int row_;  // rows are only ever added or taken at the end
};

TableView::TableView() : delegate_(std::make_shared<ItemDelegate>()) { connectDelegate(delegate_); }

TableView::~TableView() {
  // Cell widgets may hold connections into the delegates: drop them first.
  cells_.clear();
  rows_.clear();
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
    for (int r = tl.row(); r <= br.row(); ++r) {
      bool rowChanged = false;
      for (int c = tl.column(); c <= br.column(); ++c) rowChanged |= syncCell(r, c);
      if (rowChanged) markRowDirty(r);
    }
  }));
  modelConnections_.emplace_back(m.headerDataChanged().connect([this] { markDirty(); }));
  modelConnections_.emplace_back(m.rowsInserted().connect([this](int first, int last) {
    const bool append = std::none_of(cells_.begin(), cells_.end(), [&](const auto& c) { return c.first.first >= first; }) &&
                        std::none_of(selection_.begin(), selection_.end(), [&](const Key& k) { return k.first >= first; });
    if (!append) {
      structureChanged();
      return;
    }
    matchRows();
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
  matchRows();
  syncAll();
  markDirty();
}

void TableView::matchRows() {
  const int rows = model_ ? model_->rowCount() : 0;
  while (static_cast<int>(rows_.size()) > rows) {
    dispose(std::move(rows_.back()));
    rows_.pop_back();
  }
  while (static_cast<int>(rows_.size()) < rows) {
    rows_.push_back(std::make_unique<TableRow>(*this, static_cast<int>(rows_.size())));
    adopt(*rows_.back());
  }
}

void TableView::adoptCell(int row, Widget& widget) {
  if (row >= 0 && row < static_cast<int>(rows_.size()))
    rows_[static_cast<std::size_t>(row)]->adopt(widget);
  else
    adopt(widget);
}

void TableView::markRowDirty(int row) {
  if (row >= 0 && row < static_cast<int>(rows_.size()))
    rows_[static_cast<std::size_t>(row)]->markDirty();
  else
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

bool TableView::syncCell(int row, int column) {
  if (!model_) return false;
  const Key k{row, column};
  const std::shared_ptr<AbstractItemDelegate> delegate = delegateFor(column);
  std::unique_ptr<Widget> old;
  std::string shownAttributes;
  const auto it = cells_.find(k);
  if (it != cells_.end()) {
    if (it->second.editing) return false;  // an open editor stays as it is
    shownAttributes = std::move(it->second.attributes);
    if (it->second.delegate == delegate)
      old = std::move(it->second.widget);
    else
      dispose(std::move(it->second.widget));
    cells_.erase(it);
  }
  const ModelIndex index = model_->index(row, column);
  if (!index.isValid()) {
    dispose(std::move(old));
    return true;
  }
  Widget* const reused = old.get();
  const bool selected = isSelectedCell(row, column);
  std::unique_ptr<Widget> w = delegate->update(std::move(old), index, selected ? RenderSelected : RenderNone);
  if (!w) return true;  // the row writes the cell's data itself
  const bool kept = reused && w.get() == reused;
  if (!kept) adoptCell(row, *w);
  // A kept widget has marked itself for sending if it changed; the row goes
  // only when the cell's own attributes changed as well.
  const bool rowChanged = !kept || cellAttributes(row, column, selected) != shownAttributes;
  cells_[k] = Cell{std::move(w), false, delegate, std::move(shownAttributes)};
  return rowChanged;
}

void TableView::syncAll() {
  if (!model_) return;
  matchRows();
  for (auto it = cells_.begin(); it != cells_.end();) {
    if (it->first.first >= model_->rowCount() || it->first.second >= model_->columnCount()) {
      dispose(std::move(it->second.widget));
      it = cells_.erase(it);
    } else {
      ++it;
    }
  }
  for (int r = 0; r < model_->rowCount(); ++r) {
    bool rowChanged = false;
    for (int c = 0; c < model_->columnCount(); ++c) rowChanged |= syncCell(r, c);
    if (rowChanged) markRowDirty(r);
  }
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
  for (const Key& k : next) markRowDirty(k.first);  // the old selection
  for (const Key& k : selection_) markRowDirty(k.first);
  selectionChanged_.emit();
}

void TableView::clearSelection() {
  if (selection_.empty()) return;
  for (const Key& k : selection_) markRowDirty(k.first);
  selection_.clear();
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
  if (editor.get() != reused) adoptCell(index.row(), *editor);
  cells_[k] = Cell{std::move(editor), true, delegate, {}};
  markRowDirty(index.row());
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
  markRowDirty(k.first);
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

void TableView::visitRenderedChildren(const std::function<void(Widget&)>& fn) {
  if (isHidden()) return;
  for (const auto& row : rows_) fn(*row);
}

void TableView::visitRowCells(int row, const std::function<void(Widget&)>& fn) {
  for (auto it = cells_.lower_bound({row, 0}); it != cells_.end() && it->first.first == row; ++it)
    if (it->second.widget && !isColumnHidden(it->first.second)) fn(*it->second.widget);
}

bool TableView::isSelectedCell(int row, int column) const {
  return selection_.count({row, -1}) > 0 || selection_.count({row, column}) > 0;
}

// What the <td> carries besides a tooltip: its place, its classes and
// whether it takes part in dragging.
std::string TableView::cellAttributes(int row, int column, bool selected) const {
  const ModelIndex index = model_->index(row, column);
  const unsigned flags = model_->flags(index);
  std::string out = " data-arg=\"" + std::to_string(row) + "," + std::to_string(column) + "\"";
  std::string cls = selected ? "w-sel" : "";
  const std::string styleClass = asString(index.data(StyleClassRole));
  if (!styleClass.empty()) cls += (cls.empty() ? "" : " ") + styleClass;
  if (!cls.empty()) {
    out += " class=\"";
    appendEscaped(out, cls);
    out += '"';
  }
  if (drag_ && (flags & ItemIsDragEnabled)) out += " draggable=\"true\"";
  if (drops_ && (flags & ItemIsDropEnabled)) out += " data-drop=\"1\"";
  return out;
}

void TableView::renderRow(std::string& out, int row) {
  for (int c = 0; c < model_->columnCount(); ++c)
    if (!isColumnHidden(c)) renderCell(out, row, c, isSelectedCell(row, c));
}

void TableView::renderCell(std::string& out, int row, int column, bool selected) {
  const ModelIndex index = model_->index(row, column);
  std::string attributes = cellAttributes(row, column, selected);
  out += "<td";
  out += attributes;
  const auto it = cells_.find({row, column});
  if (it != cells_.end() && it->second.widget) {
    out += '>';
    it->second.widget->render(out);
    it->second.attributes = std::move(attributes);
  } else {
    const std::string tip = asString(index.data(ToolTipRole));
    if (!tip.empty()) {
      out += " title=\"";
      appendEscaped(out, tip);
      out += '"';
    }
    out += '>';
    const std::string icon = asString(index.data(DecorationRole));
    if (!icon.empty()) {
      out += "<img class=\"w-cell-icon\" src=\"";
      appendEscaped(out, icon);
      out += "\" alt=\"\">";
    }
    const TextFormat format = (model_->flags(index) & ItemIsMarkup) ? TextFormat::Markup : TextFormat::Plain;
    appendHtml(out, asString(index.data(DisplayRole)), format);
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
  if (static_cast<int>(rows_.size()) != rows) matchRows();
  for (const auto& row : rows_) row->render(out);
  out += "</tbody></table></div>";
}

}  // namespace web
