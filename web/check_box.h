// A check box with a label.
#pragma once

#include "web/widget.h"

namespace web {

class CheckBox : public Widget {
 public:
  explicit CheckBox(const std::string& text = {});

  void setChecked(bool checked);
  bool isChecked() const { return checked_; }
  void setText(const std::string& text);
  const std::string& text() const { return text_; }

  // By the person only, like a click.
  EventSignal<>& checked() { return checkedSignal_; }
  EventSignal<>& unChecked() { return uncheckedSignal_; }
  EventSignal<>& changed() { return changed_; }

  void handleEvent(const Event& event) override;

 protected:
  const char* tagName() const override { return "label"; }
  void addEventNames(std::string& names) const override;
  void renderElement(std::string& out) override;

 private:
  std::string text_;
  EventSignal<> checkedSignal_{this}, uncheckedSignal_{this}, changed_{this};
  bool checked_ = false;
};

}  // namespace web
