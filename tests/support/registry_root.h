// A scratch system root laid out like a management host: the DHCP server's
// directories and leases file, the shipped templates, /etc/hosts, the state
// directory and a service-control stand-in that records what it was asked.
#pragma once

#include <string>
#include <vector>

#include "tests/support/scratch.h"

namespace trl::test {

class RegistryRoot : public ScratchRoot {
 public:
  RegistryRoot();
  ~RegistryRoot();

  std::string path(const std::string& fixed) const { return dir() + fixed; }
  void setLeases(const std::string& text) const;
  void appendLeases(const std::string& text) const;
  // The service-control calls so far, one "verb service" line each.
  std::vector<std::string> controlCalls() const;
  // Exit status of later service-control calls.
  void setControlStatus(int status) const;
  std::string hostsTemplate() const;
  std::string dhcpTemplate() const;
};

// A lease block as the DHCP server writes it.
std::string leaseBlock(const std::string& ip, const std::string& mac);

// Marks a browser session as open for as long as it lives.
class SessionOpen {
 public:
  SessionOpen();
  ~SessionOpen();
};

}  // namespace trl::test
