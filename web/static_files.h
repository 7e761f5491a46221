// Which file of the document root a request path names, if any, and its
// MIME type. Paths that climb out of the root (also percent-encoded, also
// through symbolic links) and hidden files name nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace web {

// docRoot must be canonical (no symbolic links, no trailing slash).
std::optional<std::string> resolveStaticFile(const std::string& docRoot, std::string_view encodedPath);
std::string mimeType(std::string_view path);

}  // namespace web
