// The HTML document answered for a new page load, and the paths of the
// toolkit's own files and routes.
#pragma once

#include <string>
#include <vector>

namespace web {

namespace route {
inline constexpr const char* Prefix = "/_w/";           // everything of the toolkit
// ?s=SESSION. A plain GET (no upgrade) asks whether the socket may open:
// 204 yes, 404 the session is unknown (the page must load afresh), 503 not
// now (the body says why, Retry-After when).
inline constexpr const char* Socket = "/_w/ws";
inline constexpr const char* Upload = "/_w/upload";     // ?s=SESSION&w=WIDGET&n=NAME
inline constexpr const char* Resource = "/_w/res";      // ?s=SESSION&r=RESOURCE
// Forms posted by the sign-in page and by a page's sign-out button.
inline constexpr const char* SignIn = "/_w/signin";
inline constexpr const char* SignOut = "/_w/signout";
}  // namespace route

// The start of a document's head, up to its title and icon (an URL, or
// empty for none), both escaped.
void appendDocumentStart(std::string& out, const std::string& title, const std::string& icon);

// icon: the URL of the page's icon, or empty for none.
std::string renderDocument(const std::string& title, const std::vector<std::string>& styleSheets,
                           const std::string& sessionId, const std::string& body, const std::string& icon = {});

}  // namespace web
