#include "web/check_box.h"

namespace web {

CheckBox::CheckBox(const std::string& text) : text_(text) { setInline(true); }

void CheckBox::setChecked(bool checked) {
  if (checked_ == checked) return;
  checked_ = checked;
  markDirty();
}

void CheckBox::setText(const std::string& text) {
  if (text_ == text) return;
  text_ = text;
  markDirty();
}

void CheckBox::addEventNames(std::string& names) const {
  Widget::addEventNames(names);
  names += names.empty() ? "change" : " change";
}

void CheckBox::handleEvent(const Event& event) {
  if (event.type != "change" || !event.value) {
    Widget::handleEvent(event);
    return;
  }
  const bool now = *event.value == "1";
  if (now == checked_) return;
  checked_ = now;  // the browser shows it already
  if (now)
    checkedSignal_.emit();
  else
    uncheckedSignal_.emit();
  changed_.emit();
}

void CheckBox::renderElement(std::string& out) {
  openTag(out, "w-checkbox");
  out += "><input type=\"checkbox\"";
  if (checked_) out += " checked";
  if (!isEnabled()) out += " disabled";
  out += '>';
  appendEscaped(out, text_);
  out += "</label>";
}

}  // namespace web
