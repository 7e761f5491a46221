// The HTTPS certificate made on first start: private files, the machine's
// names in it, kept while usable, made again when not.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>

#include "modules/server_certificate.h"
#include "tests/support/scratch.h"

namespace {

int modeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

// The subject's alternative names, as "DNS:x" and "IP:y" texts.
std::vector<std::string> alternativeNames(const std::string& file) {
  std::vector<std::string> out;
  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(file.c_str(), "r"), &std::fclose);
  X509* cert = PEM_read_X509(in.get(), nullptr, nullptr, nullptr);
  if (!cert) return out;
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    if (name->type == GEN_DNS) {
      out.push_back("DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName))));
    } else if (name->type == GEN_IPADD) {
      out.push_back("IP:" + std::to_string(ASN1_STRING_length(name->d.iPAddress)) + " bytes");
    }
  }
  GENERAL_NAMES_free(names);
  X509_free(cert);
  return out;
}

TEST(ServerCertificate, MadeOnceForTheMachinesNamesAndKeptPrivate) {
  trl::test::ScratchRoot root;
  root.mkdir("/var/lib");
  const std::vector<std::string> names = {"mgmt", "mgmt.cluster.example", "10.0.0.1", "[fd00::1]", "bad name"};
  const trl::CertificateFiles files = trl::ensureSelfSignedCertificate(names);
  EXPECT_EQ(files.certificate, root.dir() + "/var/lib/trellium/private/server.crt");
  EXPECT_EQ(files.privateKey, root.dir() + "/var/lib/trellium/private/server.key");
  EXPECT_EQ(modeOf(files.certificate), 0600);
  EXPECT_EQ(modeOf(files.privateKey), 0600);
  EXPECT_EQ(modeOf(root.dir() + "/var/lib/trellium/private"), 0700);
  EXPECT_EQ(alternativeNames(files.certificate),
            (std::vector<std::string>{"DNS:mgmt", "DNS:mgmt.cluster.example", "IP:4 bytes", "IP:16 bytes"}));
  const std::string fingerprint = trl::certificateFingerprint(files.certificate);
  EXPECT_EQ(fingerprint.size(), 32u * 3 - 1);

  EXPECT_EQ(trl::certificateFingerprint(trl::ensureSelfSignedCertificate(names).certificate), fingerprint)
      << "kept while usable";
  // A key that is not the certificate's (a half-done copy, say): both new.
  trl::test::writeFile(files.privateKey, "not a key\n");
  EXPECT_NE(trl::certificateFingerprint(trl::ensureSelfSignedCertificate(names).certificate), fingerprint);
  EXPECT_THROW(trl::certificateFingerprint(files.privateKey), std::exception);
}

}  // namespace
