// The certificate Trellium serves HTTPS with when the administrator has
// configured none: made on first start with OpenSSL, self-signed, for the
// machine's names and addresses, kept in the private state directory
// (/var/lib/trellium/private under the system root) as server.crt and
// server.key, both of mode 0600. A browser warns about it once; the log
// line that announces a new one gives its SHA-256 fingerprint to compare.
#pragma once

#include <string>
#include <vector>

namespace trl {

struct CertificateFiles {
  std::string certificate;
  std::string privateKey;
};

// The files of the certificate, made (or made again, when the one there has
// expired, expires within 30 days or does not belong to its key) for names:
// host names and addresses, IPv6 ones in brackets as in a URL. Throws
// _Error or _SysError when it cannot.
CertificateFiles ensureSelfSignedCertificate(const std::vector<std::string>& names);

// The SHA-256 fingerprint of a PEM certificate file, as browsers show it
// ("AB:CD:..."); throws when the file is not a certificate.
std::string certificateFingerprint(const std::string& file);

}  // namespace trl
