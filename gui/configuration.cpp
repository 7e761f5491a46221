#include "gui/configuration.h"

#include <sys/stat.h>

#include <boost/program_options.hpp>
#include <set>
#include <sstream>
#include <vector>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/paths.h"

namespace po = boost::program_options;

namespace {

// Ours: the ones that may also stand in the options file.
po::options_description ownOptions() {
  po::options_description desc("Trellium");
  desc.add_options()
      ("service-control",
       po::value<std::string>()->value_name("PROGRAM")->default_value(Nodes::service_control_default),
       "the DHCP server's control program, run as PROGRAM stop|start isc-dhcp-server "
       "(a systemd host: /usr/bin/systemctl)")
      ("dhcpd", po::value<std::string>()->value_name("PROGRAM")->default_value(DhcpdCheck::dhcpd_default),
       "the DHCP server, which checks every generated dhcpd.conf (dhcpd -t) before it goes live; "
       "without it the configuration is written unchecked")
      ("ipmi-retransmission-timeout", po::value<std::string>()->value_name("MS")->default_value("0"),
       "IPMI retransmission timeout in milliseconds (0: the IPMI library's default)")
      ("ipmi-workers", po::value<std::string>()->value_name("N")->default_value(std::to_string(NodesConfig{}.ipmi_workers)),
       "how many management controllers are polled or sent a power command at once (1 to 256)")
      ("admin-group", po::value<std::string>()->value_name("GROUP")->default_value(Configuration().adminGroup),
       "the Unix group whose members may sign in, besides root");
  return desc;
}

// Only on the command line: where the options file is, and what to print.
po::options_description commandLineOnly() {
  po::options_description desc("Command line");
  desc.add_options()
      ("sysroot", po::value<std::string>()->value_name("DIR")->default_value("/"),
       "system root: every fixed path (/etc/hosts, /var/lib/dhcp, the options file, ...) is read and "
       "written under it")
      ("help", "print the options with their defaults and exit")
      ("version", "print the version and exit");
  return desc;
}

po::options_description everything() {
  po::options_description all;
  all.add(commandLineOnly()).add(ownOptions()).add(web::serverOptionsDescription());
  return all;
}

std::string existingRoot(const std::string& dir) {
  std::string clean;
  try {
    clean = trl::normalSysroot(dir);
  } catch (const _Error&) {
    throw ConfigurationError("--sysroot: " + dir + " is not an absolute path");
  }
  struct stat st;
  if (!clean.empty() && (::stat(clean.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
    throw ConfigurationError("--sysroot: " + dir + " is not a directory");
  return clean;
}

// Program_options writes its error messages by replacing placeholders such
// as %value% with the offending text until none is left: a value that holds
// one would make that replacement endless. Such text is refused first.
void refusePlaceholders(const std::string& text, const std::string& where) {
  static const char* const placeholders[] = {"%value%", "%canonical_option%", "%option%", "%prefix_option%",
                                             "%original_token%"};
  for (const char* placeholder : placeholders)
    if (text.find(placeholder) != std::string::npos)
      throw ConfigurationError(where + ": the text " + placeholder + " is not allowed in an option");
}

// A decimal count; what says what it counts in the error.
unsigned int number(const std::string& option, const std::string& text, const std::string& what) {
  unsigned long value = 0;
  bool ok = !text.empty() && text.size() <= 7;
  for (const char c : text) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (!ok) throw ConfigurationError("--" + option + ": '" + text + "' is not " + what);
  return static_cast<unsigned int>(value);
}

// An option given twice takes its last value, so a service's command line can
// be extended by appending (the unit's --service-control, then the lab's).
po::parsed_options lastOneWins(po::parsed_options parsed) {
  std::set<std::string> seen;
  std::vector<po::option> kept;
  for (auto word = parsed.options.rbegin(); word != parsed.options.rend(); ++word)
    if (word->position_key >= 0 || seen.insert(word->string_key).second) kept.push_back(*word);
  parsed.options.assign(kept.rbegin(), kept.rend());
  return parsed;
}

}  // namespace

std::string helpText() {
  std::ostringstream out;
  out << "Usage: trellium [OPTION]...\n"
         "Options may also stand in the options file (" << Configuration::options_file
      << " under the system root) as name = value lines; the command line wins,\n"
         "and an option given twice takes its last value.\n"
      << everything();
  return out.str();
}

CommandLine parseCommandLine(int argc, const char* const* argv) {
  CommandLine command;
  po::variables_map values;
  // The parsed values point into their descriptions: these live to the end.
  const po::options_description on_command_line = everything();
  po::options_description in_file;
  in_file.add(ownOptions()).add(web::serverOptionsDescription());
  for (int i = 1; i < argc; ++i) refusePlaceholders(argv[i], "the command line");
  try {
    const po::parsed_options parsed =
        lastOneWins(po::command_line_parser(argc, argv).options(on_command_line).run());
    for (const po::option& word : parsed.options)
      if (word.position_key >= 0) throw ConfigurationError("unexpected argument '" + word.value.front() + "'");
    po::store(parsed, values);
    if (values.count("help")) {
      command.action = CommandLine::Action::Help;
      return command;
    }
    if (values.count("version")) {
      command.action = CommandLine::Action::Version;
      return command;
    }
    Configuration& config = command.config;
    config.sysroot = existingRoot(values["sysroot"].as<std::string>());
    const std::string file = config.sysroot + Configuration::options_file;
    std::string text;
    try {
      text = trl::readWholeFile(file);
    } catch (const std::exception&) {
      throw ConfigurationError("cannot read the options file " + file);
    }
    refusePlaceholders(text, file);
    std::istringstream lines(text);
    try {
      po::store(po::parse_config_file(lines, in_file, false), values);
    } catch (const po::error& e) {
      throw ConfigurationError(file + ": " + e.what());
    }
    po::notify(values);
    config.backend.service_control = values["service-control"].as<std::string>();
    if (config.backend.service_control.empty() || config.backend.service_control.front() != '/')
      throw ConfigurationError("--service-control: " + config.backend.service_control + " is not an absolute path");
    config.backend.dhcpd = values["dhcpd"].as<std::string>();
    if (config.backend.dhcpd.empty() || config.backend.dhcpd.front() != '/')
      throw ConfigurationError("--dhcpd: " + config.backend.dhcpd + " is not an absolute path");
    config.backend.ipmi.retransmission_timeout_ms =
        number("ipmi-retransmission-timeout", values["ipmi-retransmission-timeout"].as<std::string>(),
               "a number of milliseconds");
    const std::string workers = values["ipmi-workers"].as<std::string>();
    const char* const worker_range = "a number from 1 to 256";
    config.backend.ipmi_workers = number("ipmi-workers", workers, worker_range);
    if (config.backend.ipmi_workers < 1 || config.backend.ipmi_workers > 256)
      throw ConfigurationError("--ipmi-workers: '" + workers + "' is not " + worker_range);
    config.adminGroup = values["admin-group"].as<std::string>();
    if (config.adminGroup.empty()) throw ConfigurationError("--admin-group: a group name is needed");
    config.server = web::serverOptionsFrom(values);
  } catch (const po::error& e) {
    throw ConfigurationError(e.what());
  } catch (const web::ServerError& e) {
    throw ConfigurationError(e.what());
  }
  return command;
}
