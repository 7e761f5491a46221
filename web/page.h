// The HTML document answered for a new page load, and the paths of the
// toolkit's own files and routes.
#pragma once

#include <string>
#include <vector>

namespace web {

namespace route {
inline constexpr const char* Prefix = "/_w/";           // everything of the toolkit
inline constexpr const char* Socket = "/_w/ws";         // ?s=SESSION
inline constexpr const char* Upload = "/_w/upload";     // ?s=SESSION&w=WIDGET&n=NAME
inline constexpr const char* Resource = "/_w/res";      // ?s=SESSION&r=RESOURCE
}  // namespace route

std::string renderDocument(const std::string& title, const std::vector<std::string>& styleSheets,
                           const std::string& sessionId, const std::string& body);

}  // namespace web
