// Prints what signing in and auditing cost: one audit line (written whole
// and fsynced, on the file system of $TMPDIR), the last 100 lines of a
// large log, a password check through PAM with the lab's service
// (pam_pwdfile, SHA-512 crypt), and making the HTTPS certificate.
//   build/Release/tests/sign_in_bench
#include <cstdio>
#include <cstdlib>
#include <string>

#include "modules/audit_log.h"
#include "modules/pam_sign_in.h"
#include "modules/server_certificate.h"
#include "tests/support/bench.h"
#include "tests/support/scratch.h"

using trl::bench::figure;
using trl::bench::medianMillis;

int main() {
  trl::test::ScratchRoot root;
  const std::string command = std::string(TRL_SOURCE_DIR "/lab/make-sysroot.sh ") + root.dir() + " >/dev/null";
  if (std::system(command.c_str()) != 0) return 1;

  std::printf("signing in and auditing (medians):\n");
  const trl::AuditEntry entry{"alice", "10.0.0.7", trl::AuditAction::PowerOff, "node17"};
  figure("audit line, written and fsynced (200 runs)", medianMillis(200, [&] { trl::writeAuditLine(entry); }));
  for (int i = 0; i < 100000; ++i) trl::writeAuditLine(entry);  // ~6 MB of log
  figure("last 100 lines of a 100,000-line log (50 runs)", medianMillis(50, [] { trl::auditTail(100); }));

  const trl::PamSignIn pam = trl::PamSignIn::forSystemRoot("trellium");
  figure("PAM check, right password (20 runs)", medianMillis(20, [&] { pam.check("demo", "trellium-lab", "127.0.0.1"); }));
  figure("PAM check, wrong password (20 runs)", medianMillis(20, [&] { pam.check("demo", "wrong", "127.0.0.1"); }));
  figure("self-signed certificate made (20 runs)", medianMillis(20, [&] {
           std::remove((root.dir() + "/var/lib/trellium/private/server.crt").c_str());
           trl::ensureSelfSignedCertificate({"mgmt", "10.0.0.1"});
         }));
  return 0;
}
