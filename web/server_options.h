// The web server's options, from the command line and an options file of
// "key = value" lines.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace web {

class ServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ServerOptions {
  std::string httpAddress = "0.0.0.0";
  unsigned short httpPort = 8080;  // 0: any free port (see Server::httpPort())
  std::string docRoot = ".";       // the served files
  std::string appRoot = ".";       // the application's own files (message bundle)
  std::uint64_t maxRequestSize = 40ull << 20;  // bytes; bounds uploads
  unsigned threads = 2;                        // socket threads; handler threads as many at least
};

// The command line wins over the file. Options the server does not know are
// left to the application on the command line but refused in the file.
// Sizes take a k, M or G suffix. Throws ServerError with a clear message.
ServerOptions parseServerOptions(int argc, const char* const* argv, const std::string& optionsFile);

}  // namespace web
