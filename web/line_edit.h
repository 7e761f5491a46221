// A one-line text input. The browser reports what was typed with every event
// of the field, so text() is current when a handler runs. A field in
// Password mode never sends its text to the page: it is rendered empty, and
// rendering forgets the text here too, so that the server never holds a
// password the page no longer shows (a re-render empties the page's field,
// unless the person is typing in it).
#pragma once

#include "web/widget.h"

namespace web {

class LineEdit : public Widget {
 public:
  enum class EchoMode { Normal, Password };

  explicit LineEdit(const std::string& text = {});

  void setText(const std::string& text);
  const std::string& text() const { return text_; }
  void setEchoMode(EchoMode mode);
  EchoMode echoMode() const { return echo_; }
  void setTextSize(int characters);
  void setMaxLength(int characters);
  void setEmptyText(const std::string& placeholder);
  void setReadOnly(bool readOnly);

  // The person changed the text (on leaving the field or Enter).
  EventSignal<>& changed() { return changed_; }
  EventSignal<>& enterPressed() { return enter_; }
  EventSignal<>& escapePressed() { return escape_; }

  void handleEvent(const Event& event) override;

 protected:
  const char* tagName() const override { return "input"; }
  bool isVoidElement() const override { return true; }
  void addEventNames(std::string& names) const override;
  void renderElement(std::string& out) override;

 private:
  std::string text_;
  std::string placeholder_;
  EventSignal<> changed_{this}, enter_{this}, escape_{this};
  int size_ = 0, maxLength_ = 0;
  EchoMode echo_ = EchoMode::Normal;
  bool readOnly_ = false;
};

}  // namespace web
