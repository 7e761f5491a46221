// A table cell edited through a drop-down list of fixed choices.
#pragma once

#include <memory>
#include <string>

#include "web/container.h"
#include "web/item_delegate.h"
#include "web/item_model.h"

// The cell widget: remembers which cell of which model it edits.
class IndexedContainerWidget : public web::Container {
 public:
  void setIndex(const web::ModelIndex& index) { index_ = index; }
  const web::ModelIndex& index() const { return index_; }
  void setModel(web::AbstractItemModel* model) { model_ = model; }
  web::AbstractItemModel* model() const { return model_; }
  // Writes the choice into the model at the remembered cell.
  void setModelData(const std::string& text);

 private:
  web::ModelIndex index_;
  web::AbstractItemModel* model_ = nullptr;  // not owned
};

class ComboItemDelegate : public web::AbstractItemDelegate {
 public:
  ComboItemDelegate();
  // Takes the choices every cell offers; null is ignored. Open editors close.
  void setComboModel(std::unique_ptr<web::AbstractItemModel> model);
  const std::shared_ptr<web::AbstractItemModel>& comboModel() const { return comboModel_; }

  std::unique_ptr<web::Widget> update(std::unique_ptr<web::Widget> widget, const web::ModelIndex& index,
                                      unsigned flags) override;
  void updateModelIndex(web::Widget* widget, const web::ModelIndex& index) override;
  std::any editState(web::Widget* editor) const override;
  void setModelData(const std::any& value, web::AbstractItemModel* model,
                    const web::ModelIndex& index) const override;

 private:
  std::shared_ptr<web::AbstractItemModel> comboModel_;
};
