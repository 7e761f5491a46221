// The web server: HTTP/1.1 and WebSocket on Boost.Beast, over TLS (HTTPS)
// or plain HTTP. Serves the document root, the toolkit's client files, one
// application per page load at the entry point, each session's WebSocket,
// uploads and downloads. Connections and waiting sessions are capped per
// client address and in total (see ServerOptions::Limits); over a cap the
// answer is 503 with Retry-After. Requests for any host name but the
// machine's own are refused. With requireSignIn(), a browser signs in
// first: until then it gets the sign-in page and nothing else.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "web/server_options.h"
#include "web/session.h"
#include "web/sign_in.h"

namespace web {

class Server {
 public:
  explicit Server(const std::string& applicationPath = {});
  ~Server();  // stops
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Reads the options from the command line and the options file (see
  // parseServerOptions); throws ServerError.
  void setServerConfiguration(int argc, char** argv, const std::string& optionsFile = {});
  void setOptions(const ServerOptions& options);
  const ServerOptions& options() const;

  // The factory builds one application per page load at path ("" is "/");
  // favicon is the URL of the page's icon (empty: none).
  void addEntryPoint(ApplicationFactory factory, const std::string& path = {}, const std::string& favicon = {});

  // Every page, socket, upload, download and file then needs a browser
  // signed in through signIn.check (see SignIn). Set before start().
  void requireSignIn(SignIn signIn);

  // Listens and starts the threads; throws ServerError when it cannot
  // (nothing to listen on, plain HTTP off loopback without
  // allowPlainHttp, HTTPS without a usable certificate and key).
  bool start();
  // Ends every session (their applications are destroyed), then the threads.
  void stop();
  bool isRunning() const;
  // The ports listened on (useful with port 0); 0 for none.
  unsigned short httpPort() const;
  unsigned short httpsPort() const;
  std::size_t sessionCount() const;

  // How long a session without its WebSocket waits for the page to come back
  // (default 30 s; also the option --reconnect-grace).
  void setReconnectGrace(std::chrono::milliseconds grace);
  // Plain HTTP connections at once (default 40; --max-connections). The
  // other limits are options (ServerOptions::Limits).
  void setMaxConnections(std::size_t count);

  struct Impl;  // the sockets and threads, in server.cpp

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace web
