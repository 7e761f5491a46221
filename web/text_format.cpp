#include "web/text_format.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace web {

void appendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
}

std::string escapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  appendEscaped(out, text);
  return out;
}

namespace {

std::string lower(std::string_view s) {
  std::string r(s);
  std::transform(r.begin(), r.end(), r.begin(), [](unsigned char c) { return std::tolower(c); });
  return r;
}

bool oneOf(const std::string& name, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [&](const char* n) { return name == n; });
}

bool allowedTag(const std::string& t) {
  return oneOf(t, {"b", "i", "u", "em", "strong", "br", "hr", "font", "span", "div", "p", "ul",
                   "ol", "li", "table", "thead", "tbody", "tr", "td", "th", "sub", "sup", "small",
                   "big", "code", "pre", "h1", "h2", "h3", "h4", "a", "img", "tt", "blockquote"});
}

bool voidTag(const std::string& t) { return oneOf(t, {"br", "hr", "img"}); }

bool allowedAttribute(const std::string& a) {
  return oneOf(a, {"style", "color", "class", "align", "href", "title", "size", "face", "width",
                   "height", "src", "alt", "colspan", "rowspan", "valign", "target"});
}

// No script through links, sources or style.
bool safeValue(const std::string& attr, const std::string& value) {
  const std::string v = lower(value);
  std::string compact;
  for (const char c : v)
    if (!std::isspace(static_cast<unsigned char>(c)) && !std::iscntrl(static_cast<unsigned char>(c)))
      compact += c;
  if (compact.find("javascript:") != std::string::npos || compact.find("vbscript:") != std::string::npos ||
      compact.find("data:") != std::string::npos)
    return false;
  if (attr == "style")
    return compact.find("expression(") == std::string::npos && compact.find("url(") == std::string::npos &&
           compact.find('\\') == std::string::npos;
  return true;
}

// Decodes the few entities markup authors use, so the value is escaped once.
std::string decodeEntities(std::string_view s) {
  static constexpr std::array<std::pair<const char*, char>, 5> entities{
      {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}}};
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    bool matched = false;
    if (s[i] == '&') {
      for (const auto& [name, c] : entities) {
        const std::string_view n(name);
        if (s.substr(i, n.size()) == n) {
          out += c;
          i += n.size();
          matched = true;
          break;
        }
      }
    }
    if (!matched) out += s[i++];
  }
  return out;
}

// Text between tags: entity references stay, everything else is escaped.
void appendText(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '&') {
      std::size_t j = i + 1;
      if (j < text.size() && text[j] == '#') ++j;
      const std::size_t start = j;
      while (j < text.size() && j - start < 10 && std::isalnum(static_cast<unsigned char>(text[j]))) ++j;
      if (j > start && j < text.size() && text[j] == ';') {
        out.append(text.substr(i, j - i + 1));
        i = j;
        continue;
      }
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
}

struct Tag {
  bool closing = false;
  bool selfClosing = false;
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
};

// Parses "<...>" at text[0]; returns its length, or 0 when it is no tag.
std::size_t parseTag(std::string_view text, Tag& tag) {
  std::size_t i = 1;
  if (i < text.size() && text[i] == '/') {
    tag.closing = true;
    ++i;
  }
  const std::size_t nameStart = i;
  while (i < text.size() && std::isalnum(static_cast<unsigned char>(text[i]))) ++i;
  if (i == nameStart) return 0;
  tag.name = lower(text.substr(nameStart, i - nameStart));
  for (;;) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i >= text.size()) return 0;
    if (text[i] == '>') return i + 1;
    if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '>') {
      tag.selfClosing = true;
      return i + 2;
    }
    const std::size_t aStart = i;
    while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '-' || text[i] == '_'))
      ++i;
    if (i == aStart) return 0;
    std::string name = lower(text.substr(aStart, i - aStart));
    std::string value;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && text[i] == '=') {
      ++i;
      while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
      if (i >= text.size()) return 0;
      if (text[i] == '"' || text[i] == '\'') {
        const char q = text[i++];
        const std::size_t vStart = i;
        while (i < text.size() && text[i] != q) ++i;
        if (i >= text.size()) return 0;
        value = decodeEntities(text.substr(vStart, i - vStart));
        ++i;
      } else {
        const std::size_t vStart = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])) && text[i] != '>') ++i;
        value = decodeEntities(text.substr(vStart, i - vStart));
      }
    }
    if (tag.closing) return 0;
    tag.attributes.emplace_back(std::move(name), std::move(value));
  }
}

}  // namespace

std::string filterMarkup(std::string_view markup) {
  std::string out;
  out.reserve(markup.size() + 16);
  std::vector<std::string> open;
  std::size_t i = 0;
  while (i < markup.size()) {
    const std::size_t lt = markup.find('<', i);
    appendText(out, markup.substr(i, lt == std::string_view::npos ? std::string_view::npos : lt - i));
    if (lt == std::string_view::npos) break;
    i = lt;
    if (markup.substr(i, 4) == "<!--") {  // comments are dropped
      const std::size_t end = markup.find("-->", i + 4);
      i = end == std::string_view::npos ? markup.size() : end + 3;
      continue;
    }
    Tag tag;
    const std::size_t len = parseTag(markup.substr(i), tag);
    bool kept = false;
    if (len > 0 && allowedTag(tag.name)) {
      if (tag.closing) {
        const auto it = std::find(open.rbegin(), open.rend(), tag.name);
        if (it != open.rend()) {  // closes what is open above it too
          while (open.back() != tag.name) {
            out += "</" + open.back() + ">";
            open.pop_back();
          }
          open.pop_back();
          out += "</" + tag.name + ">";
          kept = true;
        } else if (voidTag(tag.name)) {
          kept = true;  // a stray </br> means nothing
        }
      } else {
        out += "<" + tag.name;
        for (const auto& [name, value] : tag.attributes) {
          if (!allowedAttribute(name) || !safeValue(name, value)) continue;
          out += " " + name + "=\"";
          appendEscaped(out, value);
          out += "\"";
        }
        if (voidTag(tag.name)) {
          out += " />";
        } else if (tag.selfClosing) {
          out += "></" + tag.name + ">";
        } else {
          out += ">";
          open.push_back(tag.name);
        }
        kept = true;
      }
    }
    if (kept) {
      i += len;
    } else {
      out += "&lt;";  // not ours: shown as text
      ++i;
    }
  }
  while (!open.empty()) {
    out += "</" + open.back() + ">";
    open.pop_back();
  }
  return out;
}

void appendHtml(std::string& out, std::string_view text, TextFormat format) {
  switch (format) {
    case TextFormat::Plain: appendEscaped(out, text); break;
    case TextFormat::Markup: out += filterMarkup(text); break;
    case TextFormat::Unfiltered: out.append(text); break;
  }
}

std::string toHtml(std::string_view text, TextFormat format) {
  std::string out;
  appendHtml(out, text, format);
  return out;
}

}  // namespace web
