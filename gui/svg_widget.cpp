#include "gui/svg_widget.h"

#include "web/box_layout.h"
#include "web/text.h"

SvgWidget::SvgWidget() {
  setInline(true);
  auto* layout = setLayout(std::make_unique<web::VBoxLayout>());
  svg_ = layout->addWidget(std::make_unique<web::Text>(std::string(), web::TextFormat::Unfiltered));
  text_ = layout->addWidget(std::make_unique<web::Text>());
}

// Only pictures we ship come here: they pass to the browser unfiltered.
void SvgWidget::setSvgText(const std::string& svg) {
  svg_->setTextFormat(web::TextFormat::Unfiltered);
  svg_->setText(svg);
}

std::string SvgWidget::svgText() const { return svg_->text(); }

void SvgWidget::setText(const std::string& caption) { text_->setText(caption); }
