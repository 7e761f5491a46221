#include "gui/help.h"

#include "web/application.h"
#include "web/box_layout.h"
#include "modules/error.h"
#include "web/push_button.h"
#include "web/text.h"
#include "web/tool_bar.h"
#include "gui/util.h"

Help::Help() : web::Panel("Contextual help") {
  auto* layout = setLayout(std::make_unique<web::VBoxLayout>());
  content_ = layout->addWidget(std::make_unique<web::Text>(Util::stdText("Help will be displayed here"),
                                                           web::TextFormat::Markup));
  content_->setMargin(5);
  bottomToolBar()->addButton("Hide")->clicked().connect([this] { emitSignal(); });
}

void Help::setMessage(const std::string& key) { content_->setText(Util::stdText(web::tr(key))); }

void Help::emitSignal() {
  TRL_LOG("Hide button clicked");
  hidden_.emit();
}

std::string Help::text() const { return content_->text(); }
