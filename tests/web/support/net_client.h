// Blocking HTTP/1.1 and WebSocket clients on plain sockets, for talking to a
// real server on loopback without a second copy of Beast in the tests.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace web::test {

struct HttpResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
  std::string header(const std::string& name) const;
};

// One request on a fresh connection (Connection: close). Throws on socket errors.
HttpResponse httpRequest(unsigned short port, const std::string& method, const std::string& target,
                         const std::map<std::string, std::string>& headers = {}, const std::string& body = {});

// The session id of a page answered at "/".
std::string sessionIdOf(const std::string& page);

class WebSocketClient {
 public:
  WebSocketClient() = default;
  ~WebSocketClient();
  WebSocketClient(const WebSocketClient&) = delete;
  WebSocketClient& operator=(const WebSocketClient&) = delete;

  // The handshake's HTTP status (101 when open). Origin empty: none sent.
  int open(unsigned short port, const std::string& target, const std::string& origin);
  void send(const std::string& text);
  // The next text message, or nothing within the timeout.
  std::optional<std::string> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void close();
  bool isOpen() const { return fd_ >= 0; }

 private:
  bool readExact(char* buf, std::size_t n, std::chrono::steady_clock::time_point deadline);
  int fd_ = -1;
  std::string pending_;
};

}  // namespace web::test
