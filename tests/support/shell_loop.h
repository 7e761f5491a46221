// The shell's back end and event loop in this process, for tests and
// benchmarks that drive pages of the shell without a server: a scratch
// system root laid out by lab/make-sysroot.sh, the Modules instance, and the
// main loop on a thread of its own, stopped (flag set, loop woken) at the end.
// Header-only: only the binaries that link the shell include it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "gui/modules.h"
#include "gui/trellium.h"
#include "tests/support/bmc_sim.h"
#include "tests/support/registry_root.h"
#include "tests/support/scratch.h"
#include "web/environment.h"

namespace trl::test {

class ShellLoop {
 public:
  // Once per process: the back end is a process-wide singleton.
  ShellLoop() {
    // The back end lives until the process ends and cleans up under its
    // root then (the Deployment module deletes its boot files), so the root
    // goes after it: an exit handler registered before it is created runs
    // after it is destroyed.
    root_ = new ScratchRoot();
    std::atexit([] { delete root_; });
    const std::string command = std::string(TRL_SOURCE_DIR "/lab/make-sysroot.sh ") + root_->dir() + " >/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make-sysroot.sh failed");
    Modules::create({});
    loop_ = std::thread([] { Modules::getInstance()->runEventLoop(); });
  }
  ~ShellLoop() {
    Trellium::shutdownPending = true;
    Modules::getInstance()->nodes->triggerEvent();  // wakes the loop, which sees the flag
    loop_.join();
  }
  ShellLoop(const ShellLoop&) = delete;
  ShellLoop& operator=(const ShellLoop&) = delete;

  static const ScratchRoot& root() { return *root_; }
  // Appends a lease of one more server to the leases file; returns the
  // markup of that server's name as every page's Dashboard column shows it
  // once the event has reached the page (new servers are named nodeN).
  static std::string appendLease(const std::string& subnet, uint64_t first_mac) {
    Nodes& nodes = *Modules::getInstance()->nodes;
    size_t next;
    {
      const Nodes::SharedAccess table(nodes);
      next = static_cast<size_t>(table.end() - table.begin()) + 1;
    }
    std::ofstream(root_->dir() + "/var/lib/dhcp/dhcpd.leases", std::ios::app)
        << leaseBlock(subnet + std::to_string(next), macText(first_mac + next));
    return ">node" + std::to_string(next) + "<";
  }
  // A session of the shell as the server's entry point makes one.
  static std::unique_ptr<web::Application> createSession(const web::Environment& env) {
    web::Environment with_bundle = env;
    with_bundle.setAppRoot(TRL_BINARY_DIR "/resources/");
    return createApplication(with_bundle);
  }

 private:
  static inline ScratchRoot* root_ = nullptr;
  std::thread loop_;
};

}  // namespace trl::test
