// One HTTPS request with OpenSSL on loopback, for tests of the server's
// TLS: the protocol it agreed on and the certificate it showed.
#pragma once

#include <map>
#include <string>

#include "tests/web/support/net_client.h"

namespace web::test {

struct TlsExchange {
  bool handshake = false;       // false: the server refused (or nothing listens)
  std::string protocol;         // "TLSv1.3", ...
  std::string fingerprint;      // SHA-256 of the server's certificate, "AB:CD:..."
  HttpResponse response;
};

// maxVersion: the newest protocol the client offers (TLS1_1_VERSION, ...;
// 0 for any). The client accepts any certificate: the test compares it.
TlsExchange tlsRequest(unsigned short port, const std::string& method, const std::string& target,
                       const std::map<std::string, std::string>& headers = {}, const std::string& body = {},
                       int maxVersion = 0);

}  // namespace web::test
