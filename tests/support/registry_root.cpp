#include "tests/support/registry_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>


namespace trl::test {

RegistryRoot::RegistryRoot() {
  mkdir("/var/lib/dhcp");
  mkdir("/var/lib/trellium");
  mkdir("/var/log");  // the audit log's directory is made in it
  mkdir("/etc/dhcp");
  mkdir("/sbin");
  mkdir("/usr/share/trellium/host");
  writeFile(path("/usr/share/trellium/host/hosts.clean"), readFile(TRL_SOURCE_DIR "/host/hosts.clean"));
  writeFile(path("/usr/share/trellium/host/dhcpd.conf.in"), readFile(TRL_SOURCE_DIR "/host/dhcpd.conf.in"));
  writeFile(path("/etc/hosts"), hostsTemplate());
  writeFile(path("/etc/dhcp/dhcpd.conf"), dhcpTemplate() + "\n}\n");
  writeFile(path("/var/lib/dhcp/dhcpd.leases"), "");
  // Stands in for the host's service manager: records its arguments.
  writeFile(path("/sbin/initctl"),
            "#!/bin/sh\n"
            "here=$(dirname \"$0\")\n"
            "echo \"$*\" >> \"$here/initctl.calls\"\n"
            "exit $(cat \"$here/initctl.status\" 2>/dev/null || echo 0)\n");
  ::chmod(path("/sbin/initctl").c_str(), 0755);
  // The real DHCP server checks every configuration the registry writes.
  mkdir("/usr/sbin");
  if (::symlink("/usr/sbin/dhcpd", path("/usr/sbin/dhcpd").c_str()) != 0) throw std::runtime_error("symlink failed");
}

RegistryRoot::~RegistryRoot() = default;

void RegistryRoot::setLeases(const std::string& text) const { writeFile(path("/var/lib/dhcp/dhcpd.leases"), text); }

void RegistryRoot::appendLeases(const std::string& text) const {
  writeFile(path("/var/lib/dhcp/dhcpd.leases"), readFile(path("/var/lib/dhcp/dhcpd.leases")) + text);
}

std::vector<std::string> RegistryRoot::controlCalls() const {
  std::vector<std::string> calls;
  std::istringstream in(readFile(path("/sbin/initctl.calls")));
  for (std::string line; std::getline(in, line);) calls.push_back(line);
  return calls;
}

void RegistryRoot::setControlStatus(int status) const {
  writeFile(path("/sbin/initctl.status"), std::to_string(status) + "\n");
}

std::string RegistryRoot::hostsTemplate() const { return readFile(TRL_SOURCE_DIR "/host/hosts.clean"); }
std::string RegistryRoot::dhcpTemplate() const { return readFile(TRL_SOURCE_DIR "/host/dhcpd.conf.in"); }

std::string leaseBlock(const std::string& ip, const std::string& mac) {
  return "lease " + ip +
         " {\n"
         "  starts 0 2026/12/06 10:00:00;\n"
         "  ends 0 2026/12/06 11:00:00;\n"
         "  cltt 0 2026/12/06 10:00:00;\n"
         "  binding state active;\n"
         "  next binding state free;\n"
         "  rewind binding state free;\n"
         "  hardware ethernet " + mac + ";\n"
         "  uid \"\\001\\000%\\220}\\002\\003\";\n"
         "}\n";
}

Nodes::Config RegistryRoot::config(const IPMI::Options& ipmi) const {
  Nodes::Config config;
  config.ipmi = ipmi;
  config.anyone_watching = [watching = watching_] { return watching->load(); };
  return config;
}

}  // namespace trl::test
