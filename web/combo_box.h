// A drop-down list over a model's first column (a list of strings by default).
#pragma once

#include <memory>
#include <vector>

#include "web/item_model.h"
#include "web/widget.h"

namespace web {

class StringListModel;

class ComboBox : public Widget {
 public:
  ComboBox();
  ~ComboBox() override;

  // Adds to the combo's own string list (not to a model set from outside).
  void addItem(const std::string& text);
  void clear();
  int count() const;
  std::string itemText(int index) const;
  int findText(const std::string& text) const;  // exact; -1 when absent

  // -1: nothing selected.
  void setCurrentIndex(int index);
  int currentIndex() const { return current_; }
  std::string currentText() const { return itemText(current_); }

  void setModel(std::shared_ptr<AbstractItemModel> model);
  const std::shared_ptr<AbstractItemModel>& model() const { return model_; }

  // The person chose an entry: its index, its text; then changed().
  EventSignal<int>& activated() { return activated_; }
  EventSignal<std::string>& activatedText() { return activatedText_; }
  EventSignal<>& changed() { return changed_; }

  void handleEvent(const Event& event) override;

 protected:
  const char* tagName() const override { return "select"; }
  void addEventNames(std::string& names) const override;
  void renderElement(std::string& out) override;

 private:
  void follow();
  void rowsChanged();

  std::shared_ptr<AbstractItemModel> model_;
  std::vector<ScopedConnection> connections_;
  EventSignal<int> activated_{this};
  EventSignal<std::string> activatedText_{this};
  EventSignal<> changed_{this};
  int current_ = -1;
};

}  // namespace web
