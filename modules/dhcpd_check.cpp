#include "modules/dhcpd_check.h"

#include <unistd.h>

#include <sstream>

#include "modules/error.h"
#include "modules/paths.h"
#include "modules/utils.h"

std::string DhcpdCheck::rejection(const std::string& conf) const {
  std::string program = trl::sysPath(program_);
  if (::access(program.c_str(), X_OK) != 0) {
    if (!warned_.exchange(true))
      TRL_WARN(program + " is not installed: the DHCP configuration is written unchecked");
    return "";
  }
  std::string test = "-t", cf = "-cf", file = conf;
  char* const args[] = {program.data(), test.data(), cf.data(), file.data(), nullptr};
  std::string output;
  const int status = launchCaptured(args, output);
  if (status == 0) return "";
  // dhcpd says "FILE line N: what is wrong", among its banner lines.
  std::istringstream lines(output);
  const std::string located = conf + " line ";
  for (std::string line; std::getline(lines, line);)
    if (line.compare(0, located.size(), located) == 0) return line.substr(conf.size() + 1);
  return "dhcpd -t exited with status " + std::to_string(status);
}
