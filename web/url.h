// Pieces of request targets: percent-decoding and query parameters.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace web {

// Strict: a '%' not followed by two hex digits, or a decoded NUL, fails.
// With plusIsSpace, '+' decodes to ' ' (query strings).
std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace = false);
std::string percentEncode(std::string_view text);

struct Target {
  std::string path;  // still encoded
  std::map<std::string, std::string> query;  // decoded; the first of repeated keys
};
// Fails on a malformed query.
std::optional<Target> parseTarget(std::string_view target);

}  // namespace web
