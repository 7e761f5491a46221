#include "web/page.h"

#include "web/text_format.h"

namespace web {

void appendDocumentStart(std::string& out, const std::string& title, const std::string& icon) {
  out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
  out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>";
  appendEscaped(out, title);
  out += "</title>";
  if (!icon.empty()) {
    out += "<link rel=\"icon\" href=\"";
    appendEscaped(out, icon);
    out += "\">";
  }
}

std::string renderDocument(const std::string& title, const std::vector<std::string>& styleSheets,
                           const std::string& sessionId, const std::string& body, const std::string& icon) {
  std::string out;
  out.reserve(body.size() + 1024);
  appendDocumentStart(out, title, icon);
  out += "<link rel=\"stylesheet\" href=\"/_w/web.css\">";
  for (const auto& sheet : styleSheets) {
    out += "<link rel=\"stylesheet\" href=\"";
    appendEscaped(out, sheet);
    out += "\">";
  }
  // The session id goes in an attribute, not an inline script: the page's
  // content security policy allows our script files only.
  out += "<script src=\"/_w/idiomorph.min.js\"></script><script src=\"/_w/client.js\" defer></script>";
  out += "</head><body data-session=\"";
  appendEscaped(out, sessionId);
  out += "\">";
  out += body;
  out += "</body></html>\n";
  return out;
}

}  // namespace web
