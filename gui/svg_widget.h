// An inline vector picture (our own SVG files) with a caption below it.
#pragma once

#include <string>

#include "web/container.h"

namespace web {
class Text;
}

class SvgWidget : public web::Container {
 public:
  SvgWidget();
  void setSvgText(const std::string& svg);
  std::string svgText() const;
  void setText(const std::string& caption);

 private:
  web::Text* svg_;
  web::Text* text_;
};
