#include "modules/host_files.h"

#include <sstream>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/leases.h"
#include "modules/paths.h"

namespace {

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

// Thrown through replaceFile, which then leaves its target as it was.
struct Rejected {};

typedef bool (*LineMatch)(const std::string& line, const std::vector<std::string>& texts);

// Rewrites a file without the lines that match one of the texts.
void keepLinesOf(const char* fixed_path, const std::vector<std::string>& drop, LineMatch match) {
  const std::string path = trl::sysPath(fixed_path);
  std::string kept;
  for (const std::string& line : lines(trl::readWholeFile(path)))
    if (!match(line, drop)) kept += line + "\n";
  trl::replaceFile(path, kept);
}

}  // namespace

// Lines are matched by whole fields, so 10.0.0.1 never matches 10.0.0.10.
bool HostFiles::matchHostsEntry(const std::string& line, const std::vector<std::string>& ips) {
  return lineHasField(line, ips, ';');
}

bool HostFiles::matchDHCPConfEntry(const std::string& line, const std::vector<std::string>& macs) {
  return lineHasField(line, macs, ';');
}

bool HostFiles::matchLeaseHeader(const std::string& line, const std::vector<std::string>& ips) {
  for (const std::string& ip : ips)
    if (line.find("lease " + ip + " {") != std::string::npos) return true;
  return false;
}

void HostFiles::saveHostsToStream(std::ostream& out, const NodeRecord* begin, const NodeRecord* end) {
  for (const NodeRecord* node = begin; node != end; ++node) {
    if (node->eth0.ip() != 0) out << node->eth0.ip_str() << "\t" << node->eth0.name() << "\n";
    if (node->mc.mac() != 0) out << node->mc.ip_str() << "\t" << node->mc.name() << "\n";
  }
}

void HostFiles::saveDhcpConfToStream(std::ostream& out, const NodeRecord* begin, const NodeRecord* end) {
  out << "\n\tgroup {\n\t\tfilename \"trellium/pxelinux.0\";\n";
  for (const NodeRecord* node = begin; node != end; ++node) {
    const std::string name = node->eth0.name();
    const char* const mc = NodeRecord::mc_extension;
    if (node->eth0.mac() != 0)
      out << "\t\thost " << name << "\t{ hardware ethernet " << node->eth0.mac_str() << "; fixed-address " << name
          << "; }\n";
    if (node->mc.mac() != 0)
      out << "\t\thost " << name << mc << "\t{ hardware ethernet " << node->mc.mac_str() << "; fixed-address "
          << name << mc << "; }\n";
  }
  out << "\t}\n}\n";
}

void HostFiles::writeHosts(const std::string& text) {
  trl::replaceFile(trl::sysPath(hosts_path), text,
                   [](const std::string&) { TRL_LOG("Trying to access host temp file: " << 0); });
}

void HostFiles::writeDhcpConf(const std::string& text) { trl::replaceFile(trl::sysPath(dhcpd_conf), text); }

void HostFiles::deleteIPsFromHostsFile(const std::vector<std::string>& ips) {
  keepLinesOf(hosts_path, ips, matchHostsEntry);
}

void HostFiles::deleteMACsFromDHCPConfFile(const std::vector<std::string>& macs) {
  keepLinesOf(dhcpd_conf, macs, matchDHCPConfEntry);
}

void HostFiles::deleteIPsFromLeasesFile(const std::vector<std::string>& ips,
                                        const std::function<void()>& before_rename) {
  deleteLeases(ips, {}, before_rename);
}

// A block is held back until its end shows whether it goes: its header may
// name one of the addresses, or its hardware line one of the MACs.
void HostFiles::deleteLeases(const std::vector<std::string>& ips, const std::vector<std::string>& macs,
                             const std::function<void()>& before_rename) {
  const std::string path = trl::sysPath(LeasesReader::dhcp_leases);
  std::string kept, block;
  bool in_block = false, drop = false;
  for (const std::string& line : lines(trl::readWholeFile(path))) {
    if (!in_block) {
      if (!matchLeaseHeader(line, ips) && line.compare(0, 6, "lease ") != 0) {
        kept += line + "\n";
        continue;
      }
      in_block = line.find('}') == std::string::npos;
      drop = matchLeaseHeader(line, ips);
      block = line + "\n";
      if (in_block) continue;
    } else {
      block += line + "\n";
      const size_t first = line.find_first_not_of(" \t");
      if (first != std::string::npos && line.compare(first, 18, "hardware ethernet ") == 0 &&
          lineHasField(line, macs, ';'))
        drop = true;
      // The block ends at its closing line; a '}' inside a quoted value does not end it.
      if (first == std::string::npos || line[first] != '}') continue;
      in_block = false;
    }
    if (!drop) kept += block;
  }
  if (in_block && !drop) kept += block;
  trl::replaceFile(path, kept, [&](const std::string&) {
    if (before_rename) before_rename();
  });
}

std::string HostFiles::writeFiles(const std::string& hosts, const std::string& dhcp_conf, const DhcpdCheck& check) {
  std::string rejection;
  try {
    trl::replaceFile(trl::sysPath(dhcpd_conf), dhcp_conf, [&](const std::string& staged) {
      // dhcpd resolves the fixed addresses through the hosts file: that goes
      // first, once the configuration is known to be good.
      rejection = check.rejection(staged);
      if (!rejection.empty()) throw Rejected();
      TRL_LOG("Rebuilding hosts entries");
      writeHosts(hosts);
      TRL_LOG("rebuilding DHCP entries");
    });
  } catch (const Rejected&) {
  }
  return rejection;
}
