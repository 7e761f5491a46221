#include "web/line_edit.h"

namespace web {

LineEdit::LineEdit(const std::string& text) : text_(text) { setInline(true); }

void LineEdit::setText(const std::string& text) {
  if (text_ == text) return;
  text_ = text;
  markDirty();
}

void LineEdit::setEchoMode(EchoMode mode) {
  if (echo_ == mode) return;
  echo_ = mode;
  markDirty();
}

void LineEdit::setTextSize(int characters) {
  size_ = characters;
  markDirty();
}

void LineEdit::setMaxLength(int characters) {
  maxLength_ = characters;
  markDirty();
}

void LineEdit::setEmptyText(const std::string& placeholder) {
  placeholder_ = placeholder;
  markDirty();
}

void LineEdit::setReadOnly(bool readOnly) {
  readOnly_ = readOnly;
  markDirty();
}

void LineEdit::addEventNames(std::string& names) const {
  Widget::addEventNames(names);
  // "change" always: the server's text must follow the browser's.
  names += names.empty() ? "change" : " change";
  if (!enter_.empty()) names += " enter";
  if (!escape_.empty()) names += " escape";
}

void LineEdit::handleEvent(const Event& event) {
  // The browser shows the typed text already: no re-render for it.
  if (event.value) text_ = *event.value;
  if (event.type == "change") {
    changed_.emit();
  } else if (event.type == "keydown" && event.key == "Enter" && !enter_.empty()) {
    enter_.emit();
  } else if (event.type == "keydown" && event.key == "Escape" && !escape_.empty()) {
    escape_.emit();
  } else {
    Widget::handleEvent(event);
  }
}

void LineEdit::renderElement(std::string& out) {
  openTag(out, "w-lineedit");
  if (echo_ == EchoMode::Password) {
    text_.clear();
    out += " type=\"password\" autocomplete=\"new-password\"";
  } else {
    out += " type=\"text\" value=\"";
    appendEscaped(out, text_);
    out += '"';
  }
  if (size_ > 0) out += " size=\"" + std::to_string(size_) + "\"";
  if (maxLength_ > 0) out += " maxlength=\"" + std::to_string(maxLength_) + "\"";
  if (!placeholder_.empty()) {
    out += " placeholder=\"";
    appendEscaped(out, placeholder_);
    out += '"';
  }
  if (readOnly_) out += " readonly";
  if (!isEnabled()) out += " disabled";
  out += '>';
}

}  // namespace web
