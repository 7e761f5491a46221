#include "gui/comboitemdelegate.h"

#include "web/combo_box.h"
#include "web/string_list_model.h"

namespace {

// The first entry whose text is exactly the cell's text; -1 when none is.
int matchingEntry(const web::AbstractItemModel& choices, const std::string& text) {
  for (int row = 0; row < choices.rowCount(); ++row)
    if (std::any_cast<std::string>(choices.data(choices.index(row, 0))) == text) return row;
  return -1;
}

web::ComboBox* comboOf(web::Widget* widget) {
  auto* cell = dynamic_cast<IndexedContainerWidget*>(widget);
  return cell && cell->count() > 0 ? dynamic_cast<web::ComboBox*>(cell->widget(0)) : nullptr;
}

}  // namespace

void IndexedContainerWidget::setModelData(const std::string& text) {
  if (model_ && index_.isValid()) model_->setData(index_, text, web::EditRole);
}

ComboItemDelegate::ComboItemDelegate() : comboModel_(std::make_shared<web::StringListModel>()) {}

void ComboItemDelegate::setComboModel(std::unique_ptr<web::AbstractItemModel> model) {
  if (!model) return;
  comboModel_ = std::move(model);
  closeEditor().emit(nullptr, true);
}

std::unique_ptr<web::Widget> ComboItemDelegate::update(std::unique_ptr<web::Widget> widget,
                                                       const web::ModelIndex& index, unsigned) {
  const std::string text = std::any_cast<std::string>(index.data(web::DisplayRole));
  if (web::ComboBox* combo = comboOf(widget.get())) {
    static_cast<IndexedContainerWidget*>(widget.get())->setIndex(index);
    combo->setModel(comboModel_);
    combo->setCurrentIndex(matchingEntry(*comboModel_, text));
    return widget;
  }
  auto cell = std::make_unique<IndexedContainerWidget>();
  cell->setIndex(index);
  // The view hands out const indexes; the cell writes back into that same model.
  cell->setModel(const_cast<web::AbstractItemModel*>(index.model()));
  auto* combo = cell->addNew<web::ComboBox>();
  combo->setModel(comboModel_);
  combo->setCurrentIndex(matchingEntry(*comboModel_, text));
  IndexedContainerWidget* target = cell.get();
  combo->activatedText().connect([target](const std::string& choice) { target->setModelData(choice); });
  return cell;
}

void ComboItemDelegate::updateModelIndex(web::Widget* widget, const web::ModelIndex& index) {
  if (auto* cell = dynamic_cast<IndexedContainerWidget*>(widget)) cell->setIndex(index);
}

std::any ComboItemDelegate::editState(web::Widget* editor) const {
  const web::ComboBox* combo = comboOf(editor);
  return combo ? combo->currentText() : std::string();
}

void ComboItemDelegate::setModelData(const std::any& value, web::AbstractItemModel* model,
                                     const web::ModelIndex& index) const {
  model->setData(index, value, web::EditRole);
}
