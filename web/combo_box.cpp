#include "web/combo_box.h"

#include <cstdlib>

#include "web/any_text.h"
#include "web/string_list_model.h"

namespace web {

ComboBox::ComboBox() : model_(std::make_shared<StringListModel>()) {
  setInline(true);
  follow();
}

ComboBox::~ComboBox() = default;

void ComboBox::follow() {
  connections_.clear();
  AbstractItemModel& m = *model_;
  connections_.emplace_back(m.rowsInserted().connect([this] { rowsChanged(); }));
  connections_.emplace_back(m.rowsRemoved().connect([this] { rowsChanged(); }));
  connections_.emplace_back(m.modelReset().connect([this] { rowsChanged(); }));
  connections_.emplace_back(m.dataChanged().connect([this] { markDirty(); }));
}

void ComboBox::rowsChanged() {
  const int n = count();
  if (current_ >= n) current_ = n - 1;
  if (current_ < 0 && n > 0) current_ = 0;  // a list that gets entries shows the first
  markDirty();
}

void ComboBox::setModel(std::shared_ptr<AbstractItemModel> model) {
  if (!model || model == model_) return;
  model_ = std::move(model);
  follow();
  current_ = count() > 0 ? 0 : -1;
  markDirty();
}

void ComboBox::addItem(const std::string& text) {
  if (auto* list = dynamic_cast<StringListModel*>(model_.get())) list->addString(text);
}

void ComboBox::clear() {
  if (auto* list = dynamic_cast<StringListModel*>(model_.get())) list->setStringList({});
  current_ = -1;
  markDirty();
}

int ComboBox::count() const { return model_->rowCount(); }

std::string ComboBox::itemText(int index) const {
  if (index < 0 || index >= count()) return {};
  return asString(model_->data(model_->index(index, 0), DisplayRole));
}

int ComboBox::findText(const std::string& text) const {
  for (int i = 0; i < count(); ++i)
    if (itemText(i) == text) return i;
  return -1;
}

void ComboBox::setCurrentIndex(int index) {
  if (index < -1 || index >= count()) index = -1;
  if (current_ == index) return;
  current_ = index;
  markDirty();
}

void ComboBox::addEventNames(std::string& names) const {
  Widget::addEventNames(names);
  names += names.empty() ? "change" : " change";
}

void ComboBox::handleEvent(const Event& event) {
  if (event.type != "change" || !event.value) {
    Widget::handleEvent(event);
    return;
  }
  const int index = std::atoi(event.value->c_str());
  if (index < 0 || index >= count()) return;
  current_ = index;  // the browser shows it already
  const std::string text = itemText(index);
  activated_.emit(index);
  activatedText_.emit(text);
  changed_.emit();
}

void ComboBox::renderElement(std::string& out) {
  openTag(out, "w-combo");
  if (!isEnabled()) out += " disabled";
  out += '>';
  // Without this the browser would show the first entry as chosen.
  if (current_ < 0) out += "<option value=\"-1\" selected hidden></option>";
  for (int i = 0; i < count(); ++i) {
    out += "<option value=\"" + std::to_string(i) + "\"";
    if (i == current_) out += " selected";
    out += '>';
    appendEscaped(out, itemText(i));
    out += "</option>";
  }
  out += "</select>";
}

}  // namespace web
