// Which names a browser may use for this server. A page served at a foreign
// name that resolves to us (DNS rebinding) would otherwise be same-origin
// with everything we serve; checking the Host header against the machine's
// own names and addresses closes that door.
#pragma once

#include <string>
#include <vector>

namespace web {

// The machine's host name (first; short and, when the resolver knows it,
// fully qualified), "localhost", and the address of every interface (IPv6
// ones in brackets, as a Host header writes them), lower-case.
std::vector<std::string> machineHostNames();

// The host part of a Host header ("Name:8080" -> "name", "[::1]:80" ->
// "[::1]"), lower-case; "" when the header is malformed.
std::string hostPart(const std::string& hostHeader);

// Whether the Host header names one of allowed (lower-case, no port).
bool hostAllowed(const std::string& hostHeader, const std::vector<std::string>& allowed);

// Whether a request's Origin header names this very server: the same
// scheme ("http" or "https") and the same host and port as its Host header.
bool sameOrigin(const std::string& origin, const std::string& scheme, const std::string& hostHeader);

}  // namespace web
