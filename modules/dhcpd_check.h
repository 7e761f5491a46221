// The DHCP server's own check of a configuration before it goes live:
// "dhcpd -t -cf FILE". Thread-safe: it keeps the program's path and whether
// it has warned that the program is missing.
#pragma once

#include <atomic>
#include <string>

class DhcpdCheck {
 public:
  static constexpr const char* dhcpd_default = "/usr/sbin/dhcpd";

  // program is a fixed path, resolved under the system root when run.
  explicit DhcpdCheck(std::string program = dhcpd_default) : program_(std::move(program)) {}

  // Why dhcpd refuses the configuration in the file conf: its message line
  // (without the file's name). Empty when it accepts it, and when dhcpd is
  // not installed: then the configuration goes live unchecked, with one
  // warning for the life of this object.
  std::string rejection(const std::string& conf) const;

 private:
  const std::string program_;
  mutable std::atomic<bool> warned_{false};
};
