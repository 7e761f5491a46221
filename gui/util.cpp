#include "gui/util.h"

#include <any>
#include <cstdio>

#include "web/item_model.h"
#include "web/text_format.h"

const char* const Util::standard_font = "tahoma,arial,verdana,sans-serif";

std::string Util::getHexCode(unsigned char b) {
  char text[3];
  std::snprintf(text, sizeof text, "%02x", b);
  return text;
}

std::string Util::getTextWithFont(const std::string& text, const std::string& font) {
  return "<span style=\"font: 12px " + font + ";\">" + text + "</span>";
}

std::string Util::stdText(const char* text) { return getTextWithFont(text, standard_font); }
std::string Util::stdText(const std::string& text) { return getTextWithFont(text, standard_font); }
std::string Util::plainText(const std::string& text) { return stdText(web::escapeHtml(text)); }

bool Util::isValidMacAddr(const std::string& s) {
  if (s.size() != 17) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (i % 3 == 2) {
      if (c != ':') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

bool Util::isValidHostName(const std::string& s) {
  for (const char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

int Util::getColumnFromHeader(web::AbstractItemModel* model, std::string name) {
  int found = -1;
  for (int column = 0; column < model->columnCount(); ++column)
    if (std::any_cast<std::string>(model->headerData(column, web::Horizontal, web::DisplayRole)) == name)
      found = column;
  return found;
}
