// The web server's options, from the command line and an options file of
// "key = value" lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "web/connection_limits.h"
#include "web/session_registry.h"

namespace boost::program_options {
class options_description;
class variables_map;
}  // namespace boost::program_options

namespace web {

class ServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ServerOptions {
  // Plain HTTP: off unless an address is given. Only a loopback address is
  // accepted, unless security.allowPlainHttp says otherwise.
  std::string httpAddress;
  unsigned short httpPort = 8080;  // 0: any free port (see Server::httpPort())
  std::string docRoot = ".";       // the served files
  std::string appRoot = ".";       // the application's own files (message bundle)
  std::uint64_t maxRequestSize = 40ull << 20;  // bytes; bounds uploads
  unsigned threads = 2;                        // socket threads; handler threads as many at least

  // --- Limits that keep one client from locking the others out ---
  // The defaults fit a process limit of 128 descriptors: 40 HTTP connections,
  // 24 WebSockets and 8 refusals in flight leave the rest to the application.
  struct Limits {
    ConnectionCaps connections;
    SessionCaps sessions;
    // How long a session waits for its page's socket (to come, or to come
    // back) before it ends.
    std::chrono::milliseconds reconnectGrace{30000};
  } limits;

  // --- HTTPS, host names and sign-in, kept in one block of their own ---
  struct Security {
    std::string httpsAddress;  // HTTPS: off unless an address is given
    unsigned short httpsPort = 8443;  // 0: any free port (see Server::httpsPort())
    // PEM files; both or neither. The server needs them to serve HTTPS (the
    // application may make a certificate first, see Server::options()).
    std::string certificate;
    std::string privateKey;
    // Plain HTTP on an address other than loopback: passwords and pages
    // cross the network unencrypted. Only on purpose, and with a warning.
    bool allowPlainHttp = false;
    // The names and addresses the browser may use for this server (the Host
    // header): a page at any other name (DNS rebinding) gets nothing. Empty:
    // the machine's own names and addresses.
    std::vector<std::string> allowedHosts;
    // A sign-in ends when no page of it has been open for this long.
    std::chrono::seconds idleTimeout{1800};
  } security;
};

// The server's options with their defaults and help texts, for an
// application to put beside its own and parse once.
boost::program_options::options_description serverOptionsDescription();
// The server's part of values parsed with that description. Numbers are
// read strictly; sizes take a k, M or G suffix. Throws ServerError with a
// one-line message naming the option.
ServerOptions serverOptionsFrom(const boost::program_options::variables_map& values);

// The server's options alone: the command line wins over the file, and an
// option the server does not know is an error in either. Throws ServerError.
ServerOptions parseServerOptions(int argc, const char* const* argv, const std::string& optionsFile);

}  // namespace web
