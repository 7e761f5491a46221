// The DHCP server's service control: "PROGRAM stop|start isc-dhcp-server"
// through launch(). A program that exits abnormally or with another status
// is only logged and the caller carries on; one that cannot be run at all
// throws _SysError. Thread-safe: it keeps only the program's path.
#pragma once

#include <string>

class ServiceControl {
 public:
  static constexpr const char* service_control_default = "/sbin/initctl";

  // program is a fixed path, resolved under the system root when run; a
  // systemd host passes /usr/bin/systemctl, which takes the same arguments.
  explicit ServiceControl(std::string program = service_control_default) : program_(std::move(program)) {}

  void startDhcpServer() const { run("start"); }
  void stopDhcpServer() const { run("stop"); }

 private:
  void run(const char* verb) const;

  const std::string program_;
};
