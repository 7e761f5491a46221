#include "tests/web/support/tls_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

namespace web::test {

TlsExchange tlsRequest(unsigned short port, const std::string& method, const std::string& target,
                       const std::map<std::string, std::string>& headers, const std::string& body, int maxVersion) {
  TlsExchange out;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free);
  if (!ctx) throw std::runtime_error("SSL_CTX_new failed");
  // Old protocols are offered on purpose (the server must refuse them).
  SSL_CTX_set_security_level(ctx.get(), 0);
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION);
  if (maxVersion) SSL_CTX_set_max_proto_version(ctx.get(), maxVersion);
  SSL_CTX_set_cipher_list(ctx.get(), "DEFAULT:@SECLEVEL=0");
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
    ::close(*f);
    delete f;
  });
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return out;
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), &SSL_free);
  SSL_set_fd(ssl.get(), fd);
  if (SSL_connect(ssl.get()) != 1) {
    ERR_clear_error();
    return out;
  }
  out.handshake = true;
  out.protocol = SSL_get_version(ssl.get());
  if (X509* cert = SSL_get1_peer_certificate(ssl.get())) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    X509_digest(cert, EVP_sha256(), digest, &size);
    static const char* const hex = "0123456789ABCDEF";
    for (unsigned int i = 0; i < size; ++i) {
      if (i) out.fingerprint += ':';
      out.fingerprint += hex[digest[i] >> 4];
      out.fingerprint += hex[digest[i] & 15];
    }
    X509_free(cert);
  }
  const std::string request = requestText(port, method, target, headers, body);
  if (SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) <= 0) return out;
  std::string data;
  char buf[16384];
  for (;;) {
    const int n = SSL_read(ssl.get(), buf, sizeof buf);
    if (n <= 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  ERR_clear_error();
  out.response = parseResponse(data, method);
  return out;
}

}  // namespace web::test
