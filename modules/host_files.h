// The files through which the cluster sees the node table: the hosts file
// and the DHCP server's configuration, each the shipped template followed
// by one line per interface, and the removal of a server's entries from
// them and from the leases file. Every rewrite goes through replaceFile.
// Stateless: the text is built from records the caller holds under the
// table's lock, the files are written with no table lock held, and the
// caller keeps two rewrites from overlapping.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "modules/dhcpd_check.h"
#include "modules/node.h"

class HostFiles {
 public:
  static constexpr const char* hosts_path = "/etc/hosts";
  static constexpr const char* hosts_path_in = "/usr/share/trellium/host/hosts.clean";
  static constexpr const char* dhcpd_conf = "/etc/dhcp/dhcpd.conf";
  static constexpr const char* dhcpd_conf_in = "/usr/share/trellium/host/dhcpd.conf.in";

  // The per-record lines (no template) of the two formats.
  static void saveHostsToStream(std::ostream& out, const NodeRecord* begin, const NodeRecord* end);
  static void saveDhcpConfToStream(std::ostream& out, const NodeRecord* begin, const NodeRecord* end);

  // Rewrites without the lines that name one of the addresses or MACs.
  static void deleteIPsFromHostsFile(const std::vector<std::string>& ips);
  static void deleteMACsFromDHCPConfFile(const std::vector<std::string>& macs);
  // Drops the lease blocks of the addresses; before_rename runs just before
  // the new file replaces the old one.
  static void deleteIPsFromLeasesFile(const std::vector<std::string>& ips,
                                      const std::function<void()>& before_rename);
  // The same, for blocks naming one of the addresses or one of the MACs.
  static void deleteLeases(const std::vector<std::string>& ips, const std::vector<std::string>& macs,
                           const std::function<void()>& before_rename);
  static bool matchHostsEntry(const std::string& line, const std::vector<std::string>& ips);
  static bool matchDHCPConfEntry(const std::string& line, const std::vector<std::string>& macs);
  static bool matchLeaseHeader(const std::string& line, const std::vector<std::string>& ips);

  // Replaces the hosts file; logs the staging line the system always wrote.
  static void writeHosts(const std::string& text);
  static void writeDhcpConf(const std::string& text);
  // Both files from their new texts, once check accepts the configuration:
  // its rejection (nothing written) or "" when both are in place.
  static std::string writeFiles(const std::string& hosts, const std::string& dhcp_conf, const DhcpdCheck& check);
};
