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

// One request on a fresh connection (Connection: close) from the loopback
// address from (any 127.x works on lo). Throws on socket errors.
HttpResponse httpRequest(unsigned short port, const std::string& method, const std::string& target,
                         const std::map<std::string, std::string>& headers = {}, const std::string& body = {},
                         const std::string& from = "127.0.0.1");

// The request httpRequest sends, and the parse of an answer read whole:
// for other ways to carry them (TLS).
std::string requestText(unsigned short port, const std::string& method, const std::string& target,
                        const std::map<std::string, std::string>& headers, const std::string& body);
HttpResponse parseResponse(const std::string& data, const std::string& method);

// A plain TCP connection to 127.0.0.1:port from a loopback address of
// choice, closed with the object: an idle socket, raw bytes, or keep-alive
// requests one after another.
class TcpConnection {
 public:
  explicit TcpConnection(unsigned short port, const std::string& from = "127.0.0.1");
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  void send(const std::string& bytes);
  // The next response (head and Content-Length body); status 0 when the
  // peer closed or nothing came within timeout.
  HttpResponse receive(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // A keep-alive GET and its response.
  HttpResponse get(const std::string& target, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when the peer has closed (end of stream or reset) within timeout.
  bool closedByPeer(std::chrono::milliseconds timeout);

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);
  int fd_ = -1;
  unsigned short port_;
  std::string buffer_;
};

// The session id of a page answered at "/".
std::string sessionIdOf(const std::string& page);

class WebSocketClient {
 public:
  WebSocketClient() = default;
  ~WebSocketClient();
  WebSocketClient(const WebSocketClient&) = delete;
  WebSocketClient& operator=(const WebSocketClient&) = delete;

  // The handshake's HTTP status (101 when open). Origin and cookie (a
  // Cookie header's value) empty: none sent. Answers the server's pings
  // while it receives, as a browser does.
  int open(unsigned short port, const std::string& target, const std::string& origin,
           const std::string& from = "127.0.0.1", const std::string& cookie = {});
  // The handshake's response headers (lower-case names).
  const std::map<std::string, std::string>& handshakeHeaders() const { return handshake_; }
  void send(const std::string& text);
  // The next text message, or nothing within the timeout.
  std::optional<std::string> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The next text message that contains text, skipping others; "" if none within the timeout.
  std::string waitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void close();
  bool isOpen() const { return fd_ >= 0; }

 private:
  bool readExact(char* buf, std::size_t n, std::chrono::steady_clock::time_point deadline);
  void sendFrame(int opcode, const std::string& payload);
  int fd_ = -1;
  std::map<std::string, std::string> handshake_;
  std::string pending_;
};

}  // namespace web::test
