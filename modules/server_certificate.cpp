#include "modules/server_certificate.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/paths.h"

namespace trl {

namespace {

const int valid_days = 825;    // about two years and three months
const int renew_days = 30;     // made again this long before it expires

template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION, X509_EXTENSION_free>>;

[[noreturn]] void fail(const std::string& what) { throw TRL_ERROR("making the HTTPS certificate: " + what + " failed"); }

std::string pem(const std::function<int(BIO*)>& write) {
  const Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) fail("writing PEM");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

Certificate readCertificate(const std::string& file) {
  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(file.c_str(), "re"), &std::fclose);
  if (!in) return nullptr;
  return Certificate(PEM_read_X509(in.get(), nullptr, nullptr, nullptr));
}

Key readKey(const std::string& file) {
  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(file.c_str(), "re"), &std::fclose);
  if (!in) return nullptr;
  return Key(PEM_read_PrivateKey(in.get(), nullptr, nullptr, nullptr));
}

// Whether the files there can be served on for a while yet.
bool usable(const CertificateFiles& files) {
  const Certificate certificate = readCertificate(files.certificate);
  const Key key = readKey(files.privateKey);
  if (!certificate || !key) return false;
  time_t soon = ::time(nullptr) + static_cast<time_t>(renew_days) * 86400;
  return X509_cmp_time(X509_get0_notAfter(certificate.get()), &soon) > 0 &&
         X509_check_private_key(certificate.get(), key.get()) == 1;
}

// "DNS:name,IP:10.0.0.1,IP:::1" for the subject's alternative names.
std::string alternativeNames(const std::vector<std::string>& names) {
  std::string out;
  for (std::string name : names) {
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    unsigned char address[16];
    const bool ip = ::inet_pton(AF_INET, name.c_str(), address) == 1 || ::inet_pton(AF_INET6, name.c_str(), address) == 1;
    // A name that could break the list's syntax is left out.
    if (name.empty() || (!ip && name.find_first_of(",: \t") != std::string::npos)) continue;
    if (!out.empty()) out += ",";
    out += (ip ? "IP:" : "DNS:") + name;
  }
  return out;
}

void addExtension(X509* certificate, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  const Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) fail("adding an extension");
}

void make(const CertificateFiles& files, const std::vector<std::string>& names) {
  // P-256: small, quick, and what every browser takes.
  const Key key(EVP_EC_gen("P-256"));
  if (!key) fail("generating a key");
  const Certificate certificate(X509_new());
  if (!certificate) fail("allocating");
  X509* const c = certificate.get();
  X509_set_version(c, 2);
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) fail("drawing a serial number");
  serial[0] &= 0x7f;  // positive
  std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>> number(BN_bin2bn(serial, sizeof serial, nullptr));
  if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(c))) fail("setting the serial number");
  X509_gmtime_adj(X509_getm_notBefore(c), -3600);  // a clock a little behind still accepts it
  X509_gmtime_adj(X509_getm_notAfter(c), static_cast<long>(valid_days) * 86400);
  X509_NAME* const subject = X509_get_subject_name(c);
  const std::string common = names.empty() ? "trellium" : names.front();
  X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Trellium"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(common.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(c, subject);
  if (X509_set_pubkey(c, key.get()) != 1) fail("setting the key");
  addExtension(c, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(c, NID_key_usage, "critical,digitalSignature");
  addExtension(c, NID_ext_key_usage, "serverAuth");
  addExtension(c, NID_subject_key_identifier, "hash");
  const std::string alternatives = alternativeNames(names);
  if (!alternatives.empty()) addExtension(c, NID_subject_alt_name, alternatives);
  if (X509_sign(c, key.get(), EVP_sha256()) == 0) fail("signing");

  // The key first: a certificate never stands without its key.
  replaceFile(files.privateKey, pem([&](BIO* b) {
                return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
              }),
              {}, 0600);
  replaceFile(files.certificate, pem([&](BIO* b) { return PEM_write_bio_X509(b, c); }), {}, 0600);
}

}  // namespace

CertificateFiles ensureSelfSignedCertificate(const std::vector<std::string>& names) {
  const std::string dir = privateDir();
  const CertificateFiles files{dir + "/server.crt", dir + "/server.key"};
  if (usable(files)) return files;
  make(files, names);
  TRL_LOG("Made a self-signed HTTPS certificate " << files.certificate << " (SHA-256 fingerprint "
                                                  << certificateFingerprint(files.certificate) << ")");
  return files;
}

std::string certificateFingerprint(const std::string& file) {
  const Certificate certificate = readCertificate(file);
  if (!certificate) throw TRL_ERROR(file + " is not a PEM certificate");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate.get(), EVP_sha256(), digest, &size) != 1) throw TRL_ERROR("digest of " + file + " failed");
  static const char* const hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    if (i) out += ':';
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace trl
