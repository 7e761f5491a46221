// How a text reaches the page, and the escaping that makes it safe there.
#pragma once

#include <string>
#include <string_view>

namespace web {

enum class TextFormat {
  Plain,       // shown as typed: every character escaped (the default)
  Markup,      // our own literal markup ("<b>Total servers</b>", "<hr />"); tags
               // outside a small safe set, and any script, show as text
  Unfiltered,  // passed through as is: only for files we ship (SVG pictures)
};

// Text content and attribute values: & < > " ' escaped.
std::string escapeHtml(std::string_view text);
void appendEscaped(std::string& out, std::string_view text);

// Keeps the safe tags and attributes of markup, escapes everything else, and
// closes what it opened, so a fragment can never break out of its element.
std::string filterMarkup(std::string_view markup);

// The HTML for a text in the given format.
std::string toHtml(std::string_view text, TextFormat format);
void appendHtml(std::string& out, std::string_view text, TextFormat format);

}  // namespace web
