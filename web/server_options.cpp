#include "web/server_options.h"

#include <boost/program_options.hpp>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

namespace web {

namespace po = boost::program_options;

namespace {

// Digits only, within max: "-1" or "8080x" is no number.
std::uint64_t parseNumber(const std::string& option, const std::string& text, std::uint64_t max, std::size_t& used) {
  used = 0;
  std::uint64_t v = 0;
  while (used < text.size() && std::isdigit(static_cast<unsigned char>(text[used]))) {
    const unsigned digit = static_cast<unsigned>(text[used] - '0');
    if (v > (max - digit) / 10) throw ServerError("--" + option + ": '" + text + "' is too large");
    v = v * 10 + digit;
    ++used;
  }
  if (used == 0) throw ServerError("--" + option + ": '" + text + "' is not a number");
  return v;
}

std::uint64_t parseWhole(const std::string& option, const std::string& text, std::uint64_t max) {
  std::size_t used = 0;
  const std::uint64_t v = parseNumber(option, text, max, used);
  if (used != text.size()) throw ServerError("--" + option + ": '" + text + "' is not a number");
  return v;
}

std::uint64_t parseSize(const std::string& text) {
  std::size_t used = 0;
  const std::uint64_t v = parseNumber("max-request-size", text, std::uint64_t(1) << 40, used);
  const std::string suffix = text.substr(used);
  if (suffix.size() > 1 || (suffix.size() == 1 && !std::strchr("kKmMgG", suffix[0])))
    throw ServerError("--max-request-size: unknown unit in '" + text + "' (use k, M or G)");
  const char unit = suffix.empty() ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(suffix[0])));
  const unsigned shift = unit == 'k' ? 10 : unit == 'm' ? 20 : unit == 'g' ? 30 : 0;
  return v << shift;
}

std::string text(const po::variables_map& values, const char* name, const std::string& fallback) {
  const auto found = values.find(name);
  return found == values.end() || found->second.empty() ? fallback : found->second.as<std::string>();
}

// The limits of ServerOptions::Limits, kept in one block of their own.
void addLimitOptions(po::options_description& desc, const ServerOptions::Limits& d) {
  const auto number = [](std::size_t n) { return po::value<std::string>()->value_name("N")->default_value(std::to_string(n)); };
  std::ostringstream grace;
  grace << static_cast<double>(d.reconnectGrace.count()) / 1000;
  desc.add_options()
      ("max-connections", number(d.connections.connections), "plain HTTP connections at once")
      ("max-connections-per-address", number(d.connections.connectionsPerAddress),
       "plain HTTP connections at once from one client address")
      ("max-websockets", number(d.connections.sockets), "WebSockets of open pages at once")
      ("max-websockets-per-address", number(d.connections.socketsPerAddress),
       "WebSockets of open pages at once from one client address")
      ("max-waiting-sessions", number(d.sessions.waiting), "sessions waiting for their page's WebSocket")
      ("max-waiting-sessions-per-address", number(d.sessions.waitingPerAddress),
       "sessions waiting for their page's WebSocket, from one client address")
      ("reconnect-grace", po::value<std::string>()->value_name("SECONDS")->default_value(grace.str()),
       "seconds a session waits for its page's WebSocket before it ends");
}

ServerOptions::Limits limitsFrom(const po::variables_map& values, const ServerOptions::Limits& d) {
  const auto count = [&values](const char* name, std::size_t fallback) {
    const std::size_t n = static_cast<std::size_t>(parseWhole(name, text(values, name, std::to_string(fallback)), 1u << 20));
    if (n == 0) throw ServerError(std::string("--") + name + ": must be at least 1");
    return n;
  };
  ServerOptions::Limits l;
  l.connections = {count("max-connections", d.connections.connections),
                   count("max-connections-per-address", d.connections.connectionsPerAddress),
                   count("max-websockets", d.connections.sockets),
                   count("max-websockets-per-address", d.connections.socketsPerAddress)};
  l.sessions = {count("max-waiting-sessions", d.sessions.waiting),
                count("max-waiting-sessions-per-address", d.sessions.waitingPerAddress)};
  const std::string graceText = text(values, "reconnect-grace", "");
  l.reconnectGrace = d.reconnectGrace;
  if (!graceText.empty()) {
    std::size_t used = 0;
    double seconds = 0;
    try {
      seconds = std::stod(graceText, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != graceText.size() || !(seconds > 0) || seconds > 86400)
      throw ServerError("--reconnect-grace: '" + graceText + "' is not a number of seconds between 0 and 86400");
    l.reconnectGrace = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  }
  return l;
}

// The HTTPS, host name and sign-in options of ServerOptions::Security, kept
// in one block of their own.
void addSecurityOptions(po::options_description& desc, const ServerOptions::Security& d) {
  std::ostringstream idle;
  idle << static_cast<double>(d.idleTimeout.count()) / 60;
  desc.add_options()
      ("https-address", po::value<std::string>()->value_name("ADDRESS")->default_value(d.httpsAddress),
       "address to serve HTTPS on (empty: none)")
      ("https-port", po::value<std::string>()->value_name("PORT")->default_value(std::to_string(d.httpsPort)),
       "port to serve HTTPS on (0: any free port)")
      ("ssl-certificate", po::value<std::string>()->value_name("FILE"),
       "the HTTPS certificate (PEM; default: a self-signed one made on first start)")
      ("ssl-private-key", po::value<std::string>()->value_name("FILE"), "the private key of --ssl-certificate (PEM)")
      ("allow-plain-http", po::bool_switch(),
       "serve plain HTTP on an address other than loopback (passwords cross the network unencrypted)")
      ("allowed-hosts", po::value<std::string>()->value_name("NAMES"),
       "host names and addresses the browser may use, separated by commas (default: the machine's own)")
      ("idle-timeout", po::value<std::string>()->value_name("MINUTES")->default_value(idle.str()),
       "minutes a sign-in lasts without a page open");
}

ServerOptions::Security securityFrom(const po::variables_map& values, const ServerOptions::Security& d) {
  ServerOptions::Security s;
  s.httpsAddress = text(values, "https-address", d.httpsAddress);
  s.httpsPort =
      static_cast<unsigned short>(parseWhole("https-port", text(values, "https-port", std::to_string(d.httpsPort)), 65535));
  s.certificate = text(values, "ssl-certificate", "");
  s.privateKey = text(values, "ssl-private-key", "");
  if (s.certificate.empty() != s.privateKey.empty())
    throw ServerError("--ssl-certificate and --ssl-private-key go together: give both or neither");
  const auto plain = values.find("allow-plain-http");
  s.allowPlainHttp = plain != values.end() && !plain->second.empty() && plain->second.as<bool>();
  std::string name;
  for (const char c : text(values, "allowed-hosts", "") + ",") {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!name.empty()) s.allowedHosts.push_back(name);
      name.clear();
    } else {
      name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  const std::string idle = text(values, "idle-timeout", "");
  s.idleTimeout = d.idleTimeout;
  if (!idle.empty()) {
    std::size_t used = 0;
    double minutes = 0;
    try {
      minutes = std::stod(idle, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != idle.size() || !(minutes > 0) || minutes > 60 * 24 * 30)
      throw ServerError("--idle-timeout: '" + idle + "' is not a number of minutes between 0 and 43200");
    s.idleTimeout = std::chrono::seconds(static_cast<long long>(minutes * 60));
  }
  return s;
}

}  // namespace

po::options_description serverOptionsDescription() {
  const ServerOptions d;
  po::options_description desc("Web server");
  desc.add_options()
      ("http-address", po::value<std::string>()->value_name("ADDRESS")->default_value(d.httpAddress),
       "address to listen on")
      ("http-port", po::value<std::string>()->value_name("PORT")->default_value(std::to_string(d.httpPort)),
       "port to listen on (0: any free port)")
      ("docroot", po::value<std::string>()->value_name("DIR")->default_value(d.docRoot),
       "directory of the served files")
      ("approot", po::value<std::string>()->value_name("DIR")->default_value(d.appRoot),
       "directory of the application's own files")
      ("max-request-size", po::value<std::string>()->value_name("SIZE")->default_value("40M"),
       "largest request (an upload) in bytes; k, M or G allowed")
      ("threads", po::value<std::string>()->value_name("N")->default_value(std::to_string(d.threads)),
       "socket threads");
  addLimitOptions(desc, d.limits);
  addSecurityOptions(desc, d.security);
  return desc;
}

ServerOptions serverOptionsFrom(const po::variables_map& values) {
  ServerOptions o;
  o.httpAddress = text(values, "http-address", o.httpAddress);
  o.httpPort = static_cast<unsigned short>(parseWhole("http-port", text(values, "http-port", "8080"), 65535));
  o.docRoot = text(values, "docroot", o.docRoot);
  o.appRoot = text(values, "approot", o.appRoot);
  o.maxRequestSize = parseSize(text(values, "max-request-size", "40M"));
  o.threads = static_cast<unsigned>(parseWhole("threads", text(values, "threads", "2"), 64));
  if (o.threads == 0) o.threads = 1;
  o.limits = limitsFrom(values, o.limits);
  o.security = securityFrom(values, o.security);
  return o;
}

ServerOptions parseServerOptions(int argc, const char* const* argv, const std::string& optionsFile) {
  const po::options_description desc = serverOptionsDescription();
  po::variables_map vm;
  try {
    if (argc > 0 && argv) po::store(po::command_line_parser(argc, argv).options(desc).run(), vm);
    if (!optionsFile.empty()) {
      std::ifstream in(optionsFile);
      if (!in) throw ServerError("cannot read web server options file " + optionsFile);
      try {
        po::store(po::parse_config_file(in, desc, false), vm);
      } catch (const po::error& e) {
        throw ServerError(optionsFile + ": " + e.what());
      }
    }
    po::notify(vm);
  } catch (const po::error& e) {
    throw ServerError(std::string("web server options: ") + e.what());
  }
  return serverOptionsFrom(vm);
}

}  // namespace web
