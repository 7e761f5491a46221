#include "web/connection_status.h"

namespace web {

ConnectionStatus::ConnectionStatus() { setInline(true); }

void ConnectionStatus::renderElement(std::string& out) {
  // What a page without its script shows; the script replaces it at once.
  openTag(out, "w-connection");
  out += "><span class=\"w-conn-mark\"></span><span class=\"w-conn-text\">Connecting\u2026</span></span>";
}

}  // namespace web
