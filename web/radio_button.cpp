#include "web/radio_button.h"

#include <algorithm>
#include <atomic>

namespace web {

RadioButton::RadioButton(const std::string& text, TextFormat format) : text_(text), format_(format) {
  setInline(true);
}

RadioButton::~RadioButton() {
  if (group_) group_->removeButton(this);
}

void RadioButton::setChecked(bool checked) {
  if (checked_ == checked) return;
  if (checked && group_) {
    group_->setCheckedButton(this);
    return;
  }
  checked_ = checked;
  markDirty();
}

void RadioButton::setText(const std::string& text, TextFormat format) {
  text_ = text;
  format_ = format;
  markDirty();
}

void RadioButton::addEventNames(std::string& names) const {
  Widget::addEventNames(names);
  names += names.empty() ? "change" : " change";
}

void RadioButton::handleEvent(const Event& event) {
  if (event.type != "change" || !event.value) {
    Widget::handleEvent(event);
    return;
  }
  if (*event.value != "1" || checked_) return;  // only checking is reported
  // The browser has switched the others of the same name off already.
  if (group_) {
    group_->checkedByPerson(this);
    return;
  }
  checked_ = true;
  checkedSignal_.emit();
  changed_.emit();
}

void RadioButton::renderElement(std::string& out) {
  openTag(out, "w-radio");
  out += "><input type=\"radio\"";
  if (group_) {
    out += " name=\"";
    out += group_->name();
    out += '"';
  }
  if (checked_) out += " checked";
  if (!isEnabled()) out += " disabled";
  out += '>';
  appendHtml(out, text_, format_);
  out += "</label>";
}

ButtonGroup::ButtonGroup() {
  static std::atomic<unsigned long> counter{0};
  name_ = "g" + std::to_string(++counter);
}

ButtonGroup::~ButtonGroup() {
  for (auto& [b, id] : buttons_) b->group_ = nullptr;
}

void ButtonGroup::addButton(RadioButton* button, int id) {
  if (!button) return;
  if (button->group_) button->group_->removeButton(button);
  if (id < 0) id = count();
  buttons_.emplace_back(button, id);
  button->group_ = this;
  button->markDirty();
}

void ButtonGroup::removeButton(RadioButton* button) {
  const auto it = std::find_if(buttons_.begin(), buttons_.end(), [&](const auto& p) { return p.first == button; });
  if (it == buttons_.end()) return;
  buttons_.erase(it);
  button->group_ = nullptr;
}

RadioButton* ButtonGroup::button(int id) const {
  for (const auto& [b, i] : buttons_)
    if (i == id) return b;
  return nullptr;
}

int ButtonGroup::id(const RadioButton* button) const {
  for (const auto& [b, i] : buttons_)
    if (b == button) return i;
  return -1;
}

RadioButton* ButtonGroup::checkedButton() const {
  for (const auto& [b, i] : buttons_)
    if (b->isChecked()) return b;
  return nullptr;
}

int ButtonGroup::checkedId() const { return id(checkedButton()); }

void ButtonGroup::setCheckedButton(RadioButton* button) {
  for (auto& [b, i] : buttons_) {
    const bool on = b == button;
    if (b->checked_ != on) {
      b->checked_ = on;
      b->markDirty();
    }
  }
}

std::vector<RadioButton*> ButtonGroup::buttons() const {
  std::vector<RadioButton*> out;
  for (const auto& [b, i] : buttons_) out.push_back(b);
  return out;
}

void ButtonGroup::checkedByPerson(RadioButton* button) {
  for (auto& [b, i] : buttons_) b->setCheckedQuietly(b == button);
  button->checkedSignal_.emit();
  button->changed_.emit();
  checkedChanged_.emit(button);
}

}  // namespace web
