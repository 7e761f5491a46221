// Prints what signing in and auditing cost: one audit line (written whole
// and fsynced, on the file system of $TMPDIR), the last 100 lines of a
// large log, a password check through PAM with the lab's service
// (pam_pwdfile, SHA-512 crypt), and making the HTTPS certificate.
//   build/Release/tests/sign_in_bench
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "modules/audit_log.h"
#include "modules/pam_sign_in.h"
#include "modules/server_certificate.h"
#include "tests/support/scratch.h"

namespace {

// The median of rounds runs, in milliseconds.
double median(const std::function<void()>& work, int rounds) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main() {
  trl::test::ScratchRoot root;
  const std::string command = std::string(TRL_SOURCE_DIR "/lab/make-sysroot.sh ") + root.dir() + " >/dev/null";
  if (std::system(command.c_str()) != 0) return 1;

  const trl::AuditEntry entry{"alice", "10.0.0.7", trl::AuditAction::PowerOff, "node17"};
  std::printf("audit line, written and fsynced:       %8.2f ms (median of 200)\n",
              median([&] { trl::writeAuditLine(entry); }, 200));
  for (int i = 0; i < 100000; ++i) trl::writeAuditLine(entry);  // ~6 MB of log
  std::printf("last 100 lines of a 100,000-line log:   %8.2f ms\n", median([] { trl::auditTail(100); }, 50));

  const trl::PamSignIn pam = trl::PamSignIn::forSystemRoot("trellium");
  std::printf("PAM check, right password:             %8.2f ms (median of 20)\n",
              median([&] { pam.check("demo", "trellium-lab", "127.0.0.1"); }, 20));
  std::printf("PAM check, wrong password:             %8.2f ms (median of 20)\n",
              median([&] { pam.check("demo", "wrong", "127.0.0.1"); }, 20));

  std::printf("self-signed certificate made:          %8.2f ms (median of 20)\n", median([&] {
                std::remove((root.dir() + "/var/lib/trellium/private/server.crt").c_str());
                trl::ensureSelfSignedCertificate({"mgmt", "10.0.0.1"});
              }, 20));
  return 0;
}
