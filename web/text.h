// A piece of text: plain (escaped), our own markup, or an unfiltered SVG file.
#pragma once

#include "web/widget.h"

namespace web {

class Text : public Widget {
 public:
  explicit Text(const std::string& text = {}, TextFormat format = TextFormat::Plain);

  void setText(const std::string& text);
  const std::string& text() const { return text_; }
  void setTextFormat(TextFormat format);
  TextFormat textFormat() const { return format_; }
  void setWordWrap(bool wrap);

 protected:
  void renderElement(std::string& out) override;

 private:
  std::string text_;
  TextFormat format_;
  bool wrap_ = true;
};

}  // namespace web
