#include "modules/service_control.h"

#include "modules/error.h"
#include "modules/paths.h"
#include "modules/utils.h"

std::string ServiceControl::run(const char* verb) const {
  std::string program = trl::sysPath(program_);
  std::string verb_arg = verb;
  std::string service = "isc-dhcp-server";
  char* const args[] = {program.data(), verb_arg.data(), service.data(), nullptr};
  try {
    launch(args, 0, true, true);
  } catch (const _Error& e) {
    TRL_LOG(e.what());
  } catch (const _SysError& e) {
    const std::string why = "cannot run " + program + ": " + e.what();
    TRL_LOG(why);
    return why;
  }
  return std::string();
}
