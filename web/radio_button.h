// Radio buttons, exclusive within their button group.
#pragma once

#include <vector>

#include "web/widget.h"

namespace web {

class ButtonGroup;

class RadioButton : public Widget {
 public:
  explicit RadioButton(const std::string& text = {}, TextFormat format = TextFormat::Plain);
  ~RadioButton() override;

  void setChecked(bool checked);
  bool isChecked() const { return checked_; }
  void setText(const std::string& text, TextFormat format = TextFormat::Plain);
  const std::string& text() const { return text_; }
  ButtonGroup* group() const { return group_; }

  EventSignal<>& checked() { return checkedSignal_; }
  EventSignal<>& changed() { return changed_; }

  void handleEvent(const Event& event) override;

 protected:
  const char* tagName() const override { return "label"; }
  void addEventNames(std::string& names) const override;
  void renderElement(std::string& out) override;

 private:
  friend class ButtonGroup;
  void setCheckedQuietly(bool checked) { checked_ = checked; }

  std::string text_;
  ButtonGroup* group_ = nullptr;
  EventSignal<> checkedSignal_{this}, changed_{this};
  TextFormat format_;
  bool checked_ = false;
};

// Not a widget: the set of radio buttons of which one is checked, each with
// an id. It does not own the buttons.
class ButtonGroup {
 public:
  ButtonGroup();
  ~ButtonGroup();
  ButtonGroup(const ButtonGroup&) = delete;
  ButtonGroup& operator=(const ButtonGroup&) = delete;

  // id -1: the next free id (the number of buttons so far).
  void addButton(RadioButton* button, int id = -1);
  void removeButton(RadioButton* button);
  int count() const { return static_cast<int>(buttons_.size()); }
  RadioButton* button(int id) const;
  int id(const RadioButton* button) const;
  RadioButton* checkedButton() const;
  int checkedId() const;  // -1 when none is checked
  void setCheckedButton(RadioButton* button);
  std::vector<RadioButton*> buttons() const;
  // A button was checked by the person.
  Signal<RadioButton*>& checkedChanged() { return checkedChanged_; }
  const std::string& name() const { return name_; }

 private:
  friend class RadioButton;
  void checkedByPerson(RadioButton* button);

  std::vector<std::pair<RadioButton*, int>> buttons_;
  Signal<RadioButton*> checkedChanged_;
  std::string name_;
};

}  // namespace web
