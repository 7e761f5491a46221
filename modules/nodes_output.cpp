// Keeping the cluster's files true to the node table: the hosts file and the
// DHCP server's configuration rebuilt from the table, the DHCP server
// restarted, and a removed server's traces taken out of them and of the
// leases file. The text is made under the table's lock; the files, the
// restart and the disk sync happen with no table lock held.
#include <sstream>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/nodes.h"
#include "modules/paths.h"

void Nodes::saveHostsToStream(std::ostream& out) const {
  HostFiles::saveHostsToStream(out, table_->store().begin(), table_->store().end());
}

void Nodes::saveDhcpConfToStream(std::ostream& out) const {
  HostFiles::saveDhcpConfToStream(out, table_->store().begin(), table_->store().end());
}

void Nodes::saveToDisk() { save(true); }

namespace {

bool fileHolds(const std::string& path, const std::string& text) {
  try {
    return trl::readWholeFile(path) == text;
  } catch (const _SysError&) {
    return false;
  }
}

}  // namespace

// The files follow the table: rewritten always, or (always false) only when
// they differ from what the table gives or an earlier write failed. A
// write is owed from its start until both files and the restart are done,
// so a failure or a refusal leaves it owed for the next save to complete.
void Nodes::save(bool always) {
  // One rewrite at a time: the event loop and the polling thread both save.
  const std::lock_guard<std::mutex> output_guard(output_lock);
  if (always) {
    TRL_LOG("Saving to disk");
    TRL_LOG("Resolving hostnames");
  }
  // Names come from the hosts file, which resolving may rewrite: looked up
  // on copies of the interfaces that need one, with no table lock held.
  std::vector<Node::Interface> unnamed;
  {
    const SharedAccess table(*this);
    for (const Node* node = table.begin(); node != table.end(); ++node) {
      const std::string name = node->eth0.name();
      // No address, nothing to look up.
      if (node->eth0.ip() != 0 && (name.empty() || name == "unset")) unnamed.push_back(node->eth0);
    }
  }
  for (Node::Interface& iface : unnamed) {
    try {
      iface.resolve();
    } catch (const _Error& e) {
      TRL_LOG(e.what());  // stays unnamed
    }
  }
  const std::string hosts_template = trl::readWholeFile(trl::sysPath(hosts_path_in));
  const std::string dhcp_template = trl::readWholeFile(trl::sysPath(dhcpd_conf_in));
  std::ostringstream hosts, dhcp;
  bool empty = false;
  {
    const ExclusiveAccess table(*this);
    empty = table.begin() == table.end();
    for (Node* node = table.begin(); node != table.end(); ++node) {
      const std::string name = node->eth0.name();
      if (!name.empty() && name != "unset") continue;  // named meanwhile
      for (const Node::Interface& resolved : unnamed)
        if (resolved.mac() == node->eth0.mac() && resolved.ip() == node->eth0.ip()) node->eth0.name(resolved.name());
    }
    // Renaming the controllers writes records: do it while writers are kept out.
    updateMCNames();
    hosts << hosts_template;
    saveHostsToStream(hosts);
    dhcp << dhcp_template;
    saveDhcpConfToStream(dhcp);
  }
  // An empty table's configuration may also be the one reset() writes.
  const std::string live_conf = trl::sysPath(dhcpd_conf);
  if (!always && !files_owed_ && fileHolds(trl::sysPath(hosts_path), hosts.str()) &&
      (fileHolds(live_conf, dhcp.str()) || (empty && fileHolds(live_conf, dhcp_template + "\n}\n"))))
    return;
  if (!always) TRL_LOG("Saving to disk: the hosts file or dhcpd.conf is behind the node table");
  files_owed_ = true;
  const std::string rejection = HostFiles::writeFiles(hosts.str(), dhcp.str(), dhcpd_check_);
  if (!rejection.empty()) {
    TRL_LOG("dhcpd.conf rejected: " << rejection);
    {
      const std::lock_guard<std::mutex> guard(error_lock);
      dhcp_conf_error = "dhcpd.conf rejected: " + rejection;
    }
    // The live files and the running DHCP server stay as they were.
    table_->commit();
    return;
  }
  stopDhcpServer();
  leases_->ignoreNextReplacement();
  const bool restarted = startDhcpServer();
  TRL_LOG("committing to store");
  table_->commit();
  if (!restarted) return;  // still owed: the next rewrite restarts it
  {
    const std::lock_guard<std::mutex> guard(error_lock);
    dhcp_conf_error.clear();
  }
  files_owed_ = false;
}

std::string Nodes::dhcpConfError() const {
  const std::lock_guard<std::mutex> guard(error_lock);
  return dhcp_conf_error;
}

void Nodes::commit() {
  saveToDisk();
  triggerEvent();
}

// The leases go before the records: a kill at any point leaves the table's
// servers in it, or gone with no lease to bring them back at the next start
// (which also rewrites the hosts file and dhcpd.conf if they are behind).
void Nodes::reset() {
  const std::lock_guard<std::mutex> output_guard(output_lock);
  std::vector<std::string> ips, macs;
  {
    const SharedAccess table(*this);
    for (const Node* node = table.begin(); node != table.end(); ++node) {
      ips.push_back(node->eth0.ip_str());
      ips.push_back(node->mc.ip_str());
      for (const Node::Interface* iface : {&node->eth0, &node->mc})
        if (iface->mac() != 0) macs.push_back(iface->mac_str());
    }
  }
  stopDhcpServer();
  TRL_LOG("removing DHCP leases");
  HostFiles::deleteLeases(ips, macs, [this] { leases_->ignoreNextReplacement(); });
  {
    TRL_LOG("Acquiring exclusive lock...");
    const ExclusiveAccess table(*this);
    for (Node* node = table.begin(); node != table.end(); ++node) {
      Sessions::release(node->ipmi_val);
      node->ipmi_val = 0;
    }
    table_->store().clear();
    table_->store().compact();
  }
  TRL_LOG("Releasing exclusive lock...");
  table_->commit();
  TRL_LOG("removing hosts entries");
  HostFiles::writeHosts(trl::readWholeFile(trl::sysPath(hosts_path_in)));
  TRL_LOG("removing DHCP entries");
  HostFiles::writeDhcpConf(trl::readWholeFile(trl::sysPath(dhcpd_conf_in)) + "\n}\n");
  leases_->ignoreNextReplacement();
  startDhcpServer();
  triggerEvent();
}

void Nodes::removeNode(int index) {
  const std::lock_guard<std::mutex> output_guard(output_lock);
  std::vector<std::string> ips, macs;
  macaddr eth0 = 0, mc = 0;
  {
    const SharedAccess table(*this);
    if (index >= 0 && static_cast<size_t>(index) < table_->size()) {
      const Node* node = table.begin() + index;
      // Only real values: "unset" or 0.0.0.0 would match other entries.
      if (node->mc.ip() != 0) ips.push_back(node->mc.ip_str());
      if (node->eth0.ip() != 0) ips.push_back(node->eth0.ip_str());
      if (node->mc.mac() != 0) macs.push_back(node->mc.mac_str());
      if (node->eth0.mac() != 0) macs.push_back(node->eth0.mac_str());
      eth0 = node->eth0.mac();
      mc = node->mc.mac();
    }
  }
  if (ips.empty() && macs.empty()) return;
  stopDhcpServer();
  // Every lease of the server goes, at any address: one left behind would
  // bring it back at the next scan.
  HostFiles::deleteLeases(ips, macs, [this] { leases_->ignoreNextReplacement(); });
  {
    TRL_LOG("Acquiring exclusive lock...");
    const ExclusiveAccess table(*this);
    // Found again by its MACs: the table may have changed meanwhile.
    Store<Node>& records = table_->store();
    for (Node* node = records.begin(); node != records.end(); ++node) {
      if (node->eth0.mac() != eth0 || node->mc.mac() != mc) continue;
      Sessions::release(node->ipmi_val);
      records.erase(node);
      break;
    }
  }
  TRL_LOG("Releasing exclusive lock...");
  table_->commit();
  deleteIPsFromHostsFile(ips);
  deleteMACsFromDHCPConfFile(macs);
  leases_->ignoreNextReplacement();
  startDhcpServer();
  triggerEvent();
}

void Nodes::deleteIPsFromHostsFile(const std::vector<std::string>& ips) { HostFiles::deleteIPsFromHostsFile(ips); }

void Nodes::deleteMACsFromDHCPConfFile(const std::vector<std::string>& macs) {
  HostFiles::deleteMACsFromDHCPConfFile(macs);
}

void Nodes::deleteIPsFromLeasesFile(const std::vector<std::string>& ips) {
  HostFiles::deleteIPsFromLeasesFile(ips, [this] { leases_->ignoreNextReplacement(); });
}

// A DHCP server that could not be restarted still serves the old files:
// the pages say so, and the files stay owed so that the next rewrite
// restarts it.
bool Nodes::startDhcpServer() {
  const std::string why = service_.startDhcpServer();
  if (why.empty()) return true;
  files_owed_ = true;
  const std::lock_guard<std::mutex> guard(error_lock);
  dhcp_conf_error = "DHCP server not restarted: " + why;
  return false;
}

void Nodes::stopDhcpServer() { service_.stopDhcpServer(); }
