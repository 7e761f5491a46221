#include "web/message_bundle.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <stdexcept>
#include <sys/stat.h>

#include "web/text_format.h"

namespace web {

namespace pt = boost::property_tree;

namespace {

bool isFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Writes an element's mixed content back as markup, in document order.
void serialize(const pt::ptree& node, std::string& out) {
  for (const auto& [name, child] : node) {
    if (name == "<xmlattr>" || name == "<xmlcomment>") continue;
    if (name == "<xmltext>") {
      appendEscaped(out, child.data());
      continue;
    }
    out += "<" + name;
    if (const auto attrs = child.get_child_optional("<xmlattr>")) {
      for (const auto& [a, v] : *attrs) {
        out += " " + a + "=\"";
        appendEscaped(out, v.data());
        out += "\"";
      }
    }
    std::string inner;
    serialize(child, inner);
    if (inner.empty())
      out += " />";
    else
      out += ">" + inner + "</" + name + ">";
  }
}

void collect(const pt::ptree& node, std::unordered_map<std::string, std::string>& messages) {
  for (const auto& [name, child] : node) {
    if (name == "message") {
      const std::string id = child.get<std::string>("<xmlattr>.id", "");
      if (id.empty()) continue;
      std::string text;
      serialize(child, text);
      messages[id] = text;
    } else if (name != "<xmlattr>" && name != "<xmltext>" && name != "<xmlcomment>") {
      collect(child, messages);
    }
  }
}

}  // namespace

void MessageBundle::use(const std::string& path, bool) {
  const std::string file = isFile(path + ".xml") ? path + ".xml" : path;
  pt::ptree tree;
  try {
    pt::read_xml(file, tree, pt::xml_parser::no_concat_text);
  } catch (const pt::xml_parser_error& e) {
    throw std::runtime_error("cannot read message bundle " + file + ": " + e.message());
  }
  collect(tree, messages_);
}

std::optional<std::string> MessageBundle::resolve(const std::string& key) const {
  const auto it = messages_.find(key);
  if (it == messages_.end()) return std::nullopt;
  return it->second;
}

std::string MessageBundle::tr(const std::string& key) const {
  if (auto text = resolve(key)) return *text;
  return "??" + key + "??";
}

}  // namespace web
