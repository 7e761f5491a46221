// Reading the DHCP server's leases file and watching its directory.
// parse() is pure; read() may run on any thread; readEvents() belongs to
// the thread that services the watch (the event loop);
// ignoreNextReplacement() may be called from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "modules/node.h"
#include "modules/unique_fd.h"

class LeasesReader {
 public:
  static constexpr const char* dhcp_leases = "/var/lib/dhcp/dhcpd.leases";
  static constexpr const char* dhcp_leases_dir = "/var/lib/dhcp";
  static constexpr const char* dhcp_leases_filename = "dhcpd.leases";
  static constexpr const char* dhcp_leases_tmp = "/var/lib/dhcp/dhcpd.leases.new";

  struct Lease {
    ipaddr ip;
    macaddr mac;
  };

  // Creates the watch on the leases directory.
  LeasesReader();

  int fd() const { return notify_.get(); }
  // Closes the watch now.
  void close() { notify_.reset(); }

  // One (address, MAC) pair per lease block, in file order. Linear in the
  // text; blocks with malformed values are skipped.
  static std::vector<Lease> parse(std::string_view text);
  // The leases file's leases: the latest one of every MAC, in file order.
  std::vector<Lease> read() const;
  // Consumes the pending records of the watch; true when they call for a
  // rescan of the leases file.
  bool readEvents();
  // Our own DHCP server restart replaces the leases file: that one
  // replacement is not news.
  void ignoreNextReplacement() { monitor_moved_to = false; }

 private:
  void addWatch();
  bool readRecords(const char* buffer, ssize_t length);

  trl::UniqueFd notify_;
  std::atomic<bool> monitor_moved_to{true};
};
