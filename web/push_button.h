// A button with a text; clicked() when pressed.
#pragma once

#include "web/widget.h"

namespace web {

class PushButton : public Widget {
 public:
  explicit PushButton(const std::string& text = {});

  void setText(const std::string& text);
  const std::string& text() const { return text_; }

 protected:
  const char* tagName() const override { return "button"; }
  void renderElement(std::string& out) override;

 private:
  std::string text_;
};

}  // namespace web
