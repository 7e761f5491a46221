#include "web/host_names.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>

namespace web {

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void addOnce(std::vector<std::string>& names, const std::string& name) {
  const std::string n = lower(name);
  if (!n.empty() && std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
}

// A host name or address as it may stand in a Host header.
bool wellFormedHost(const std::string& host) {
  if (host.empty() || host.size() > 255) return false;
  if (host.front() == '[') {
    if (host.back() != ']') return false;
    in6_addr a;
    return ::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &a) == 1;
  }
  return std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
  });
}

}  // namespace

std::vector<std::string> machineHostNames() {
  std::vector<std::string> names;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0]) {
    addOnce(names, host);
    // The fully qualified name, as the resolver has it (usually /etc/hosts).
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) == 0) {
      if (found && found->ai_canonname) addOnce(names, found->ai_canonname);
      ::freeaddrinfo(found);
    }
  }
  addOnce(names, "localhost");
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) == 0) {
    for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
      if (!i->ifa_addr) continue;
      char text[INET6_ADDRSTRLEN] = {};
      if (i->ifa_addr->sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
        addOnce(names, text);
      } else if (i->ifa_addr->sa_family == AF_INET6) {
        const auto* a6 = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
        // Link-local addresses need a zone in a URL; browsers do not send one.
        if (IN6_IS_ADDR_LINKLOCAL(&a6->sin6_addr)) continue;
        ::inet_ntop(AF_INET6, &a6->sin6_addr, text, sizeof text);
        addOnce(names, std::string("[") + text + "]");
      }
    }
    ::freeifaddrs(interfaces);
  }
  return names;
}

std::string hostPart(const std::string& hostHeader) {
  std::string host = hostHeader;
  if (!host.empty() && host.front() == '[') {
    const auto close = host.find(']');
    if (close == std::string::npos) return {};
    const std::string rest = host.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return {};
    host = host.substr(0, close + 1);
  } else {
    const auto colon = host.find(':');
    if (colon != std::string::npos) {
      const std::string port = host.substr(colon + 1);
      if (port.empty() || port.size() > 5 ||
          !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {};
      host = host.substr(0, colon);
    }
  }
  // A trailing dot names the same host ("example.org." is "example.org").
  if (host.size() > 1 && host.back() == '.') host.pop_back();
  return wellFormedHost(host) ? lower(host) : std::string();
}

bool hostAllowed(const std::string& hostHeader, const std::vector<std::string>& allowed) {
  const std::string host = hostPart(hostHeader);
  return !host.empty() && std::find(allowed.begin(), allowed.end(), host) != allowed.end();
}

bool sameOrigin(const std::string& origin, const std::string& scheme, const std::string& hostHeader) {
  if (hostHeader.empty() || hostPart(hostHeader).empty()) return false;
  return lower(origin) == lower(scheme + "://" + hostHeader);
}

}  // namespace web
