// The DHCP server's service control: "PROGRAM stop|start isc-dhcp-server"
// through launch(). A program that exits abnormally or with another status
// is only logged and the caller carries on; one that cannot be run at all
// (missing, not executable) is logged and reported to the caller, which
// stays up: a wrong --service-control must not end the process at every
// start. Thread-safe: it keeps only the program's path.
#pragma once

#include <string>

class ServiceControl {
 public:
  static constexpr const char* service_control_default = "/sbin/initctl";

  // program is a fixed path, resolved under the system root when run; a
  // systemd host passes /usr/bin/systemctl, which takes the same arguments.
  explicit ServiceControl(std::string program = service_control_default) : program_(std::move(program)) {}

  // Empty when the program ran; else why it could not be run.
  std::string startDhcpServer() const { return run("start"); }
  std::string stopDhcpServer() const { return run("stop"); }

 private:
  std::string run(const char* verb) const;

  const std::string program_;
};
