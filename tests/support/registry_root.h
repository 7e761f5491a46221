// A scratch system root laid out like a management host: the DHCP server's
// directories and leases file, the shipped templates, /etc/hosts, the state
// directory, a service-control stand-in that records what it was asked, and
// the real dhcpd (linked in), which checks every configuration written.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "modules/nodes.h"
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
  // A registry configuration for this root: the recording service control,
  // the given IPMI options, and "a browser session is open" while a
  // SessionOpen of this root lives.
  Nodes::Config config(const IPMI::Options& ipmi = {}) const;

 private:
  friend class SessionOpen;
  std::shared_ptr<std::atomic<bool>> watching_ = std::make_shared<std::atomic<bool>>(false);
};

// A lease block as the DHCP server writes it.
std::string leaseBlock(const std::string& ip, const std::string& mac);

// Marks a browser session as open, for registries made with the root's
// config(), for as long as it lives.
class SessionOpen {
 public:
  explicit SessionOpen(const RegistryRoot& root) : watching_(root.watching_) { *watching_ = true; }
  ~SessionOpen() { *watching_ = false; }
  SessionOpen(const SessionOpen&) = delete;
  SessionOpen& operator=(const SessionOpen&) = delete;

 private:
  std::shared_ptr<std::atomic<bool>> watching_;
};

}  // namespace trl::test
