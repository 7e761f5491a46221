// A modal message with OK, Yes/No (or other) buttons. show() puts it up and
// returns; exec() waits for the answer while the page stays live.
#pragma once

#include <functional>

#include "web/dialog.h"
#include "web/push_button.h"

namespace web {

enum StandardButton : unsigned { NoButton = 0, Ok = 0x1, Cancel = 0x2, Yes = 0x4, No = 0x8 };

enum class Icon { NoIcon, Information, Warning, Critical, Question };

class MessageBox : public Dialog {
 public:
  MessageBox(const std::string& caption = {}, const std::string& text = {}, Icon icon = Icon::NoIcon,
             unsigned buttons = Ok);

  void setText(const std::string& text, TextFormat format = TextFormat::Plain);
  const std::string& text() const { return text_->text(); }
  void setIcon(Icon icon);
  void setButtons(unsigned buttons);
  PushButton* button(StandardButton b) const;

  using Dialog::show;
  // The button pressed; NoButton when the session ended first.
  StandardButton exec();
  StandardButton buttonResult() const { return result_; }
  Signal<StandardButton>& buttonClicked() { return buttonClicked_; }

  // Shows a box and waits for the answer.
  static StandardButton show(const std::string& caption, const std::string& text, unsigned buttons = Ok);
  // Shows a box that the page keeps until it is answered; returns at once.
  static MessageBox* open(const std::string& caption, const std::string& text, unsigned buttons = Ok,
                          std::function<void(StandardButton)> onAnswer = {});

 private:
  void pressed(StandardButton b);

  Text* text_;
  Text* icon_;
  std::vector<std::pair<StandardButton, PushButton*>> buttons_;
  Signal<StandardButton> buttonClicked_;
  StandardButton result_ = NoButton;
};

}  // namespace web
