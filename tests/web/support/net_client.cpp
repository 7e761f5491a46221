#include "tests/web/support/net_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <stdexcept>

namespace web::test {

namespace {

int connectLoopback(unsigned short port, const std::string& from = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot bind to " + from);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + " failed");
  }
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

void sendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;  // the server may refuse early (a body too large)
    sent += static_cast<std::size_t>(n);
  }
}

// What recv() gives once data came before the deadline; 0 when nothing did.
ssize_t receiveBy(int fd, char* buf, std::size_t n, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  pollfd p{fd, POLLIN, 0};
  if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return 0;
  return ::recv(fd, buf, n, 0);
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  const auto e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Status line and headers from the text up to the blank line.
int parseHead(const std::string& head, std::map<std::string, std::string>& headers) {
  const auto lineEnd = head.find("\r\n");
  const std::string status = head.substr(0, lineEnd);
  const auto sp = status.find(' ');
  const int code = sp == std::string::npos ? 0 : std::atoi(status.c_str() + sp + 1);
  std::size_t pos = lineEnd + 2;
  while (pos < head.size()) {
    const auto end = head.find("\r\n", pos);
    const std::string line = head.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? head.size() : end + 2;
    const auto colon = line.find(':');
    if (colon != std::string::npos) headers[lower(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
  }
  return code;
}

}  // namespace

std::string HttpResponse::header(const std::string& name) const {
  const auto it = headers.find(lower(name));
  return it == headers.end() ? std::string() : it->second;
}

std::string requestText(unsigned short port, const std::string& method, const std::string& target,
                        const std::map<std::string, std::string>& headers, const std::string& body) {
  std::string req = method + " " + target + " HTTP/1.1\r\n";
  bool host = false;
  for (const auto& [k, v] : headers) {
    req += k + ": " + v + "\r\n";
    host = host || lower(k) == "host";
  }
  if (!host) req += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  req += "Connection: close\r\n";
  if (!body.empty() && !headers.count("Content-Length")) req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n";
  return req + body;
}

HttpResponse parseResponse(const std::string& data, const std::string& method) {
  HttpResponse r;
  const auto headEnd = data.find("\r\n\r\n");
  if (headEnd == std::string::npos) return r;  // status 0: no answer
  r.status = parseHead(data.substr(0, headEnd), r.headers);
  r.body = data.substr(headEnd + 4);
  if (method == "HEAD") r.body.clear();
  return r;
}

HttpResponse httpRequest(unsigned short port, const std::string& method, const std::string& target,
                         const std::map<std::string, std::string>& headers, const std::string& body,
                         const std::string& from) {
  const int fd = connectLoopback(port, from);
  sendAll(fd, requestText(port, method, target, headers, body));
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return parseResponse(data, method);
}

std::string sessionIdOf(const std::string& page) {
  const std::string key = "data-session=\"";
  const auto p = page.find(key);
  if (p == std::string::npos) return {};
  return page.substr(p + key.size(), 32);
}

TcpConnection::TcpConnection(unsigned short port, const std::string& from)
    : fd_(connectLoopback(port, from)), port_(port) {}

TcpConnection::~TcpConnection() {
  if (fd_ >= 0) ::close(fd_);
}

void TcpConnection::send(const std::string& bytes) { sendAll(fd_, bytes); }

bool TcpConnection::fill(std::chrono::steady_clock::time_point deadline) {
  char buf[65536];
  const ssize_t n = receiveBy(fd_, buf, sizeof buf, deadline);
  if (n > 0) buffer_.append(buf, static_cast<std::size_t>(n));
  return n > 0;
}

HttpResponse TcpConnection::receive(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  HttpResponse r;
  std::size_t headEnd;
  while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos)
    if (!fill(deadline)) return r;
  std::map<std::string, std::string> headers;
  const int status = parseHead(buffer_.substr(0, headEnd), headers);
  const auto length = headers.find("content-length");
  const std::size_t size = length == headers.end() ? 0 : std::stoul(length->second);
  while (buffer_.size() < headEnd + 4 + size)
    if (!fill(deadline)) return r;
  r.status = status;
  r.headers = std::move(headers);
  r.body = buffer_.substr(headEnd + 4, size);
  buffer_.erase(0, headEnd + 4 + size);
  return r;
}

HttpResponse TcpConnection::get(const std::string& target, std::chrono::milliseconds timeout) {
  send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n");
  return receive(timeout);
}

bool TcpConnection::closedByPeer(std::chrono::milliseconds timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char c;
  return ::recv(fd_, &c, 1, MSG_PEEK) <= 0;
}

WebSocketClient::~WebSocketClient() { close(); }

int WebSocketClient::open(unsigned short port, const std::string& target, const std::string& origin,
                          const std::string& from, const std::string& cookie) {
  fd_ = connectLoopback(port, from);
  std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                    "Sec-WebSocket-Version: 13\r\n";
  if (!origin.empty()) req += "Origin: " + origin + "\r\n";
  if (!cookie.empty()) req += "Cookie: " + cookie + "\r\n";
  req += "\r\n";
  sendAll(fd_, req);
  std::string head;
  char c;
  while (head.size() < 65536 && head.find("\r\n\r\n") == std::string::npos) {
    if (::recv(fd_, &c, 1, 0) != 1) break;
    head += c;
  }
  handshake_.clear();
  const int status = parseHead(head, handshake_);
  if (status != 101) close();
  return status;
}

void WebSocketClient::send(const std::string& text) { sendFrame(1, text); }

void WebSocketClient::sendFrame(int opcode, const std::string& text) {
  std::string frame;
  frame += static_cast<char>(0x80 | opcode);
  const std::size_t n = text.size();
  if (n < 126) {
    frame += static_cast<char>(0x80 | n);
  } else if (n < 65536) {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(n >> 8);
    frame += static_cast<char>(n & 0xff);
  } else {
    frame += static_cast<char>(0x80 | 127);
    for (int i = 7; i >= 0; --i) frame += static_cast<char>((n >> (8 * i)) & 0xff);
  }
  std::mt19937 rng(std::random_device{}());
  char mask[4];
  for (char& m : mask) m = static_cast<char>(rng());
  frame.append(mask, 4);
  for (std::size_t i = 0; i < n; ++i) frame += static_cast<char>(text[i] ^ mask[i % 4]);
  sendAll(fd_, frame);
}

bool WebSocketClient::readExact(char* buf, std::size_t n, std::chrono::steady_clock::time_point deadline) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = receiveBy(fd_, buf + got, n - got, deadline);
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

std::optional<std::string> WebSocketClient::receive(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string message;
  for (;;) {
    unsigned char h[2];
    if (!readExact(reinterpret_cast<char*>(h), 2, deadline)) return std::nullopt;
    const bool fin = h[0] & 0x80;
    const int opcode = h[0] & 0x0f;
    std::uint64_t len = h[1] & 0x7f;
    if (len == 126 || len == 127) {
      unsigned char ext[8];
      const std::size_t k = len == 126 ? 2 : 8;
      if (!readExact(reinterpret_cast<char*>(ext), k, deadline)) return std::nullopt;
      len = 0;
      for (std::size_t i = 0; i < k; ++i) len = (len << 8) | ext[i];
    }
    std::string payload(len, '\0');
    if (len && !readExact(payload.data(), len, deadline)) return std::nullopt;
    if (opcode == 8) {  // close
      close();
      return std::nullopt;
    }
    if (opcode == 9) {  // ping: the server's keep-alive
      sendFrame(10, payload);
      continue;
    }
    if (opcode == 10) continue;
    message += payload;
    if (fin) return message;
  }
}

std::string WebSocketClient::waitFor(const std::string& text, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (isOpen() && std::chrono::steady_clock::now() < end) {
    const auto m = receive(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()));
    if (m && m->find(text) != std::string::npos) return *m;
  }
  return {};
}

void WebSocketClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace web::test
