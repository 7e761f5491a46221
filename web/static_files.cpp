#include "web/static_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <memory>

#include "web/url.h"

namespace web {

std::optional<std::string> resolveStaticFile(const std::string& docRoot, std::string_view encodedPath) {
  const auto decoded = percentDecode(encodedPath);
  if (!decoded || decoded->empty() || (*decoded)[0] != '/') return std::nullopt;
  if (decoded->find('\\') != std::string::npos) return std::nullopt;
  std::string path = docRoot;
  std::size_t start = 1;
  while (start <= decoded->size()) {
    const auto slash = decoded->find('/', start);
    const std::string segment = decoded->substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    start = slash == std::string::npos ? decoded->size() + 1 : slash + 1;
    if (segment.empty()) continue;
    // ".." climbs out; "." and hidden files are never served.
    if (segment[0] == '.') return std::nullopt;
    path += "/" + segment;
  }
  // A symbolic link inside the root must not lead out of it.
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  const std::string resolved(real.get());
  if (resolved.compare(0, docRoot.size(), docRoot) != 0 || resolved.size() <= docRoot.size() ||
      resolved[docRoot.size()] != '/')
    return std::nullopt;
  struct stat st;
  if (::stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return resolved;
}

std::string mimeType(std::string_view path) {
  const auto dot = path.rfind('.');
  const auto slash = path.rfind('/');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return "application/octet-stream";
  std::string ext(path.substr(dot + 1));
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  static const std::pair<const char*, const char*> types[] = {
      {"html", "text/html; charset=utf-8"}, {"htm", "text/html; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},   {"js", "text/javascript; charset=utf-8"},
      {"mjs", "text/javascript; charset=utf-8"}, {"json", "application/json"},
      {"txt", "text/plain; charset=utf-8"}, {"xml", "application/xml"},
      {"png", "image/png"},                 {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},               {"gif", "image/gif"},
      {"svg", "image/svg+xml"},             {"ico", "image/vnd.microsoft.icon"},
      {"webp", "image/webp"},               {"pdf", "application/pdf"},
      {"woff", "font/woff"},                {"woff2", "font/woff2"},
      {"ttf", "font/ttf"},                  {"wasm", "application/wasm"},
      {"deb", "application/vnd.debian.binary-package"}, {"gz", "application/gzip"},
      {"tar", "application/x-tar"},         {"zip", "application/zip"},
      {"csv", "text/csv; charset=utf-8"},   {"map", "application/json"},
  };
  for (const auto& [e, t] : types)
    if (ext == e) return t;
  return "application/octet-stream";
}

}  // namespace web
