// Trellium's configuration: every option, ours and the web server's, read
// once from the command line and from the options file
// /root/trl/resources/wthttpd under the system root (the command line wins).
// main parses it before anything on disk is touched and hands the parts to
// what needs them. Parsing keeps no state.
#pragma once

#include <stdexcept>
#include <string>

#include "modules/nodes.h"
#include "web/server_options.h"

struct Configuration {
  static constexpr const char* options_file = "/root/trl/resources/wthttpd";

  std::string sysroot;    // "" means the real paths
  Nodes::Config backend;  // the DHCP server's control program, IPMI options
  web::ServerOptions server;
  // Root and the members of this Unix group may sign in.
  std::string adminGroup = "trellium";
};

// What the command line asks for.
struct CommandLine {
  enum class Action { Run, Help, Version };
  Action action = Action::Run;
  Configuration config;  // for Run
};

// A command line or options file that cannot be used, in one line.
class ConfigurationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Unknown options, missing values, malformed numbers and an unreadable
// options file throw ConfigurationError; with --help or --version the
// options file is not read.
CommandLine parseCommandLine(int argc, const char* const* argv);
// Every option with its default, for --help.
std::string helpText();
