// Text helpers that give the whole interface one font, and the checks the
// table editors apply to what a person types.
#pragma once

#include <string>

namespace web {
class AbstractItemModel;
}

class Util {
 public:
  static const char* const standard_font;  // "tahoma,arial,verdana,sans-serif"

  // Two lower-case hexadecimal digits: 5 -> "05".
  static std::string getHexCode(unsigned char b);
  // The text (our own markup) in a 12 px span of the given font list.
  static std::string getTextWithFont(const std::string& text, const std::string& font);
  static std::string stdText(const char* text);
  static std::string stdText(const std::string& text);
  // Text from outside (host names, file contents, error texts): escaped
  // first, so it always shows as typed.
  static std::string plainText(const std::string& text);
  // hh:hh:hh:hh:hh:hh with lower-case hexadecimal digits only.
  static bool isValidMacAddr(const std::string& s);
  // Letters, digits, "-" and "_"; the empty text too.
  static bool isValidHostName(const std::string& s);
  // The last column whose header text is name, or -1. Throws
  // std::bad_any_cast when a header is not text.
  static int getColumnFromHeader(web::AbstractItemModel* model, std::string name);
};
