// The contextual help panel shown beside every tab.
#pragma once

#include <string>

#include "web/panel.h"
#include "web/signals.h"

namespace web {
class Text;
}

class Help : public web::Panel {
 public:
  Help();
  // Shows the message bundle's text for key.
  void setMessage(const std::string& key);
  // The person pressed the panel's "Hide" button.
  web::Signal<>& hidden() { return hidden_; }
  void emitSignal();
  std::string text() const;

 private:
  web::Text* content_;
  web::Signal<> hidden_;
};
