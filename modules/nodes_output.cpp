// The files through which the cluster sees the node table: /etc/hosts and
// the DHCP server's configuration, the DHCP server restart, and removing a
// node's traces from them and from the leases file.
#include <cstdio>
#include <sstream>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/nodes.h"
#include "modules/paths.h"
#include "modules/utils.h"

namespace {

std::string logStagingAccess() { return "Trying to access host temp file: 0"; }

// The whitespace-separated fields of a line.
std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::string word;
  for (std::istringstream in(line); in >> word;) out.push_back(word);
  return out;
}

bool lineHasField(const std::string& line, const std::vector<std::string>& wanted, char trim) {
  for (std::string field : fields(line)) {
    while (!field.empty() && (field.back() == trim || field.back() == '{' || field.back() == '}')) field.pop_back();
    for (const std::string& w : wanted)
      if (!w.empty() && field == w) return true;
  }
  return false;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace

// Lines are matched by whole fields, so 10.0.0.1 never matches 10.0.0.10.
bool Nodes::matchHostsEntry(const std::string& line, const std::vector<std::string>& ips) {
  return lineHasField(line, ips, ';');
}

bool Nodes::matchDHCPConfEntry(const std::string& line, const std::vector<std::string>& macs) {
  return lineHasField(line, macs, ';');
}

bool Nodes::matchLeaseHeader(const std::string& line, const std::vector<std::string>& ips) {
  for (const std::string& ip : ips)
    if (line.find("lease " + ip + " {") != std::string::npos) return true;
  return false;
}

void Nodes::saveHostsToStream(std::ostream& out) const {
  for (const Node* node = nodes->begin(); node != nodes->end(); ++node) {
    if (node->eth0.ip() != 0) out << node->eth0.ip_str() << "\t" << node->eth0.name() << "\n";
    if (node->mc.mac() != 0) out << node->mc.ip_str() << "\t" << node->mc.name() << "\n";
  }
}

void Nodes::saveDhcpConfToStream(std::ostream& out) const {
  out << "\n\tgroup {\n\t\tfilename \"trellium/pxelinux.0\";\n";
  for (const Node* node = nodes->begin(); node != nodes->end(); ++node) {
    const std::string name = node->eth0.name();
    if (node->eth0.mac() != 0)
      out << "\t\thost " << name << "\t{ hardware ethernet " << node->eth0.mac_str() << "; fixed-address " << name
          << "; }\n";
    if (node->mc.mac() != 0)
      out << "\t\thost " << name << mc_extension << "\t{ hardware ethernet " << node->mc.mac_str()
          << "; fixed-address " << name << mc_extension << "; }\n";
  }
  out << "\t}\n}\n";
}

// Not kept yet: the DHCP server's refusals are only logged so far.
std::string Nodes::dhcpConfError() const { return {}; }

void Nodes::saveToDisk() {
  // One rewrite at a time: the event loop and the polling thread both save.
  const std::lock_guard<std::mutex> output_guard(output_lock);
  TRL_LOG("Saving to disk");
  TRL_LOG("Resolving hostnames");
  {
    const ExclusiveAccess table(*this);
    for (Node* node = table.begin(); node != table.end(); ++node)
      if (node->eth0.ip() != 0) node->eth0.resolve();  // no address, nothing to look up
    // Renaming the controllers writes records: do it while writers are kept out.
    updateMCNames();
  }
  const SharedAccess table(*this);
  TRL_LOG("Rebuilding hosts entries");
  const std::string hosts_template = trl::readWholeFile(trl::sysPath(hosts_path_in));
  const std::string dhcp_template = trl::readWholeFile(trl::sysPath(dhcpd_conf_in));
  std::ostringstream hosts;
  hosts << hosts_template;
  saveHostsToStream(hosts);
  trl::replaceFile(trl::sysPath(hosts_path), hosts.str(), [] { TRL_LOG(logStagingAccess()); });
  TRL_LOG("rebuilding DHCP entries");
  std::ostringstream dhcp;
  dhcp << dhcp_template;
  saveDhcpConfToStream(dhcp);
  trl::replaceFile(trl::sysPath(dhcpd_conf), dhcp.str());
  stopDhcpServer();
  monitor_moved_to = false;
  startDhcpServer();
  TRL_LOG("committing to store");
  nodes->commit();
}

void Nodes::commit() {
  saveToDisk();
  triggerEvent();
}

void Nodes::reset() {
  const std::lock_guard<std::mutex> output_guard(output_lock);
  std::vector<std::string> ips;
  {
    TRL_LOG("Acquiring exclusive lock...");
    const ExclusiveAccess table(*this);
    for (Node* node = table.begin(); node != table.end(); ++node) {
      ips.push_back(node->eth0.ip_str());
      ips.push_back(node->mc.ip_str());
      Sessions::release(node->ipmi_val);
      node->ipmi_val = 0;
    }
    nodes->clear();
    nodes->compact();
  }
  TRL_LOG("Releasing exclusive lock...");
  stopDhcpServer();
  TRL_LOG("removing hosts entries");
  trl::replaceFile(trl::sysPath(hosts_path), trl::readWholeFile(trl::sysPath(hosts_path_in)),
                   [] { TRL_LOG(logStagingAccess()); });
  TRL_LOG("removing DHCP entries");
  trl::replaceFile(trl::sysPath(dhcpd_conf), trl::readWholeFile(trl::sysPath(dhcpd_conf_in)) + "\n}\n");
  TRL_LOG("removing DHCP leases");
  deleteIPsFromLeasesFile(ips);
  monitor_moved_to = false;
  startDhcpServer();
  triggerEvent();
}

void Nodes::removeNode(int index) {
  const std::lock_guard<std::mutex> output_guard(output_lock);
  std::vector<std::string> ips, macs;
  {
    TRL_LOG("Acquiring exclusive lock...");
    const ExclusiveAccess table(*this);
    if (index >= 0 && static_cast<size_t>(index) < nodes->size()) {
      Node* node = table.begin() + index;
      // Only real values: "unset" or 0.0.0.0 would match other entries.
      if (node->mc.ip() != 0) ips.push_back(node->mc.ip_str());
      if (node->eth0.ip() != 0) ips.push_back(node->eth0.ip_str());
      if (node->mc.mac() != 0) macs.push_back(node->mc.mac_str());
      if (node->eth0.mac() != 0) macs.push_back(node->eth0.mac_str());
      Sessions::release(node->ipmi_val);
      nodes->erase(node);
    }
  }
  TRL_LOG("Releasing exclusive lock...");
  if (ips.empty() && macs.empty()) return;
  stopDhcpServer();
  deleteIPsFromHostsFile(ips);
  deleteIPsFromLeasesFile(ips);
  deleteMACsFromDHCPConfFile(macs);
  monitor_moved_to = false;
  startDhcpServer();
  triggerEvent();
}

// Rewrites a file without the lines that match one of the texts.
void Nodes::keepLinesOf(const char* fixed_path, const std::vector<std::string>& drop, LineMatch match) {
  const std::string path = trl::sysPath(fixed_path);
  std::string kept;
  for (const std::string& line : lines(trl::readWholeFile(path)))
    if (!match(line, drop)) kept += line + "\n";
  trl::replaceFile(path, kept);
}

void Nodes::deleteIPsFromHostsFile(const std::vector<std::string>& ips) {
  keepLinesOf(hosts_path, ips, matchHostsEntry);
}

void Nodes::deleteMACsFromDHCPConfFile(const std::vector<std::string>& macs) {
  keepLinesOf(dhcpd_conf, macs, matchDHCPConfEntry);
}

void Nodes::deleteIPsFromLeasesFile(const std::vector<std::string>& ips) {
  const std::string path = trl::sysPath(dhcp_leases);
  std::string kept;
  bool skipping = false;
  for (const std::string& line : lines(trl::readWholeFile(path))) {
    if (skipping) {
      // The block ends at its closing line; a '}' inside a quoted value does not end it.
      const size_t first = line.find_first_not_of(" \t");
      if (first != std::string::npos && line[first] == '}') skipping = false;
      continue;
    }
    if (matchLeaseHeader(line, ips)) {
      skipping = line.find('}') == std::string::npos;
      continue;
    }
    kept += line + "\n";
  }
  trl::replaceFile(path, kept, [this] { monitor_moved_to = false; });
}

void Nodes::runDhcpControl(const char* verb) {
  std::string program = trl::sysPath(serviceControl());
  std::string verb_arg = verb;
  std::string service = "isc-dhcp-server";
  char* const args[] = {program.data(), verb_arg.data(), service.data(), nullptr};
  try {
    launch(args, 0, true, true);
  } catch (const _Error& e) {
    TRL_LOG(e.what());
  }
}

void Nodes::startDhcpServer() { runDhcpControl("start"); }

void Nodes::stopDhcpServer() { runDhcpControl("stop"); }
