#include "web/server_options.h"

#include <boost/program_options.hpp>

#include <cctype>
#include <cstring>
#include <fstream>

namespace web {

namespace po = boost::program_options;

namespace {

std::uint64_t parseSize(const std::string& text) {
  std::size_t used = 0;
  unsigned long long v = 0;
  try {
    v = std::stoull(text, &used);
  } catch (const std::exception&) {
    throw ServerError("--max-request-size: not a size: '" + text + "'");
  }
  std::string suffix = text.substr(used);
  if (suffix.size() > 1 || (suffix.size() == 1 && !std::strchr("kKmMgG", suffix[0])))
    throw ServerError("--max-request-size: unknown unit in '" + text + "' (use k, M or G)");
  const char unit = suffix.empty() ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(suffix[0])));
  const unsigned shift = unit == 'k' ? 10 : unit == 'm' ? 20 : unit == 'g' ? 30 : 0;
  return static_cast<std::uint64_t>(v) << shift;
}

// The limits of ServerOptions::Limits, kept in one block of their own.
struct LimitValues {
  explicit LimitValues(const ServerOptions::Limits& l)
      : connections(l.connections.connections), connectionsPerAddress(l.connections.connectionsPerAddress),
        sockets(l.connections.sockets), socketsPerAddress(l.connections.socketsPerAddress),
        waiting(l.sessions.waiting), waitingPerAddress(l.sessions.waitingPerAddress),
        graceSeconds(static_cast<double>(l.reconnectGrace.count()) / 1000) {}
  std::size_t connections, connectionsPerAddress, sockets, socketsPerAddress, waiting, waitingPerAddress;
  double graceSeconds;
};

void addLimitOptions(po::options_description& desc, LimitValues& v) {
  desc.add_options()
      ("max-connections", po::value(&v.connections)->default_value(v.connections),
       "plain HTTP connections at once")
      ("max-connections-per-address", po::value(&v.connectionsPerAddress)->default_value(v.connectionsPerAddress),
       "plain HTTP connections at once from one client address")
      ("max-websockets", po::value(&v.sockets)->default_value(v.sockets), "WebSockets of open pages at once")
      ("max-websockets-per-address", po::value(&v.socketsPerAddress)->default_value(v.socketsPerAddress),
       "WebSockets of open pages at once from one client address")
      ("max-waiting-sessions", po::value(&v.waiting)->default_value(v.waiting),
       "sessions waiting for their page's WebSocket")
      ("max-waiting-sessions-per-address", po::value(&v.waitingPerAddress)->default_value(v.waitingPerAddress),
       "sessions waiting for their page's WebSocket, from one client address")
      ("reconnect-grace", po::value(&v.graceSeconds)->default_value(v.graceSeconds),
       "seconds a session waits for its page's WebSocket before it ends");
}

void applyLimits(const LimitValues& v, ServerOptions::Limits& l) {
  if (!(v.graceSeconds > 0) || v.graceSeconds > 86400)
    throw ServerError("--reconnect-grace: " + std::to_string(v.graceSeconds) + " is not between 0 and 86400 seconds");
  for (const std::size_t n : {v.connections, v.connectionsPerAddress, v.sockets, v.socketsPerAddress, v.waiting,
                              v.waitingPerAddress})
    if (n == 0) throw ServerError("connection and session limits must be at least 1");
  l.connections = {v.connections, v.connectionsPerAddress, v.sockets, v.socketsPerAddress};
  l.sessions = {v.waiting, v.waitingPerAddress};
  l.reconnectGrace = std::chrono::milliseconds(static_cast<long long>(v.graceSeconds * 1000));
}

// The HTTPS, host name and sign-in options of ServerOptions::Security, kept
// in one block of their own.
struct SecurityValues {
  explicit SecurityValues(const ServerOptions::Security& s)
      : httpsAddress(s.httpsAddress), httpsPort(s.httpsPort), certificate(s.certificate), privateKey(s.privateKey),
        idleMinutes(static_cast<double>(s.idleTimeout.count()) / 60) {}
  std::string httpsAddress;
  unsigned httpsPort;
  std::string certificate, privateKey, allowedHosts;
  bool allowPlainHttp = false;
  double idleMinutes;
};

void addSecurityOptions(po::options_description& desc, SecurityValues& v) {
  desc.add_options()
      ("https-address", po::value(&v.httpsAddress)->default_value(v.httpsAddress),
       "address to serve HTTPS on (empty: none)")
      ("https-port", po::value(&v.httpsPort)->default_value(v.httpsPort), "port to serve HTTPS on (0: any)")
      ("ssl-certificate", po::value(&v.certificate),
       "the HTTPS certificate (PEM; default: a self-signed one made on first start)")
      ("ssl-private-key", po::value(&v.privateKey), "the private key of --ssl-certificate (PEM)")
      ("allow-plain-http", po::bool_switch(&v.allowPlainHttp),
       "serve plain HTTP on an address other than loopback (passwords cross the network unencrypted)")
      ("allowed-hosts", po::value(&v.allowedHosts),
       "host names and addresses the browser may use, separated by commas (default: the machine's own)")
      ("idle-timeout", po::value(&v.idleMinutes)->default_value(v.idleMinutes),
       "minutes a sign-in lasts without a page open");
}

void applySecurity(const SecurityValues& v, ServerOptions::Security& s) {
  if (v.httpsPort > 65535) throw ServerError("--https-port: " + std::to_string(v.httpsPort) + " is not a port");
  if (v.certificate.empty() != v.privateKey.empty())
    throw ServerError("--ssl-certificate and --ssl-private-key go together: give both or neither");
  if (!(v.idleMinutes > 0) || v.idleMinutes > 60 * 24 * 30)
    throw ServerError("--idle-timeout: " + std::to_string(v.idleMinutes) + " is not between 0 and 43200 minutes");
  s.httpsAddress = v.httpsAddress;
  s.httpsPort = static_cast<unsigned short>(v.httpsPort);
  s.certificate = v.certificate;
  s.privateKey = v.privateKey;
  s.allowPlainHttp = v.allowPlainHttp;
  s.allowedHosts.clear();
  std::string name;
  for (const char c : v.allowedHosts + ",") {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!name.empty()) s.allowedHosts.push_back(name);
      name.clear();
    } else {
      name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  s.idleTimeout = std::chrono::seconds(static_cast<long long>(v.idleMinutes * 60));
}

}  // namespace

ServerOptions parseServerOptions(int argc, const char* const* argv, const std::string& optionsFile) {
  ServerOptions o;
  std::string maxSize;
  unsigned port = o.httpPort;
  po::options_description desc("web server options");
  desc.add_options()
      ("http-address", po::value<std::string>(&o.httpAddress)->default_value(o.httpAddress), "address to listen on")
      ("http-port", po::value<unsigned>(&port)->default_value(port), "port to listen on (0: any)")
      ("docroot", po::value<std::string>(&o.docRoot)->default_value(o.docRoot), "directory of the served files")
      ("approot", po::value<std::string>(&o.appRoot)->default_value(o.appRoot), "directory of the application's files")
      ("max-request-size", po::value<std::string>(&maxSize), "largest request (upload) in bytes; k, M, G allowed")
      ("threads", po::value<unsigned>(&o.threads)->default_value(o.threads), "socket threads");
  LimitValues limits(o.limits);
  addLimitOptions(desc, limits);
  SecurityValues security(o.security);
  addSecurityOptions(desc, security);
  po::variables_map vm;
  try {
    if (argc > 0 && argv) {
      const auto parsed = po::command_line_parser(argc, argv).options(desc).allow_unregistered().run();
      po::store(parsed, vm);
    }
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
  if (port > 65535) throw ServerError("--http-port: " + std::to_string(port) + " is not a port");
  o.httpPort = static_cast<unsigned short>(port);
  if (!maxSize.empty()) o.maxRequestSize = parseSize(maxSize);
  if (o.threads == 0) o.threads = 1;
  applyLimits(limits, o.limits);
  applySecurity(security, o.security);
  return o;
}

}  // namespace web
