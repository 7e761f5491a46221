#include "web/url.h"

#include <cctype>

namespace web {

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      const char d = static_cast<char>(hi * 16 + lo);
      if (d == '\0') return std::nullopt;
      out += d;
      i += 2;
    } else if (c == '+' && plusIsSpace) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string percentEncode(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += hex[u >> 4];
      out += hex[u & 15];
    }
  }
  return out;
}

std::optional<Target> parseTarget(std::string_view target) {
  Target t;
  const auto q = target.find('?');
  t.path = std::string(target.substr(0, q));
  if (q == std::string_view::npos) return t;
  std::string_view rest = target.substr(q + 1);
  while (!rest.empty()) {
    const auto amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    const auto key = percentDecode(pair.substr(0, eq), true);
    const auto value = percentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true);
    if (!key || !value) return std::nullopt;
    t.query.emplace(*key, *value);
  }
  return t;
}

}  // namespace web
