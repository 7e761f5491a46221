// The process: core files, the web server with its one entry point, the
// event loop, SIGTERM and the restart protocol (exit status 20).
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "modules/error.h"
#include "modules/ipmi.h"
#include "gui/modules.h"
#include "modules/nodes.h"
#include "modules/paths.h"
#include "web/server.h"
#include "web/server_options.h"
#include "modules/session_presence.h"
#include "modules/server_certificate.h"
#include "gui/sign_in.h"
#include "gui/trellium.h"
#include "web/host_names.h"

namespace {

const char* const core_pattern = "/var/crash/core-%t";
const char* const core_dir = "/var/crash";
const int cores_kept = 5;
const rlim_t core_size_limit = 268435456;
const rlim_t open_files_limit = 128;
const char* const server_options_file = "/root/trl/resources/wthttpd";

void setupCorefiles() {
  const std::string pattern_file = trl::sysPath("/proc/sys/kernel/core_pattern");
  const int fd = ::open(pattern_file.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw TRL_SYSERROR("open core_pattern failed");
  const ssize_t written = ::write(fd, core_pattern, std::strlen(core_pattern));
  if (written != static_cast<ssize_t>(std::strlen(core_pattern))) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    throw TRL_SYSERROR("write to core_pattern failed");
  }
  if (::close(fd) != 0) throw TRL_SYSERROR("close core_pattern failed");

  const std::string dir = trl::sysPath(core_dir);
  dirent** entries = nullptr;
  const int count = scandir(
      dir.c_str(), &entries,
      [](const dirent* e) { return std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 ? 1 : 0; },
      alphasort);
  if (count < 0) throw TRL_SYSERROR(std::string("Prefix ") + core_dir + " not found");
  // scandir's list is malloc'ed, entry by entry: freed on every way out.
  struct Entries {
    dirent** list;
    int n;
    ~Entries() {
      for (int i = 0; i < n; ++i) free(list[i]);
      free(list);
    }
  } owned{entries, count};
  for (int i = 0; i < count - cores_kept; ++i) {
    const std::string path = dir + "/" + entries[i]->d_name;
    std::printf("removing stale core %s\n", path.c_str());
    if (::unlink(path.c_str()) != 0) throw TRL_SYSERROR("removing failed");
  }

  const rlimit cores{core_size_limit, core_size_limit};
  if (setrlimit(RLIMIT_CORE, &cores) != 0) throw TRL_SYSERROR("setrlimit failed");
  if (std::signal(SIGABRT, SIG_DFL) == SIG_ERR) throw TRL_SYSERROR("signal failed");
  const rlimit files{open_files_limit, open_files_limit};
  if (setrlimit(RLIMIT_NOFILE, &files) != 0) TRL_SYSWARN("cannot limit open descriptors to 128");
}

void handleSignal(int sig) {
  if (sig == SIGTERM) Trellium::shutdownPending = true;  // logged by the loop
}

// Our own options; the web server takes the rest from the same command line.
void readOwnOptions(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--sysroot") trl::setSysroot(value);
    else if (name == "--service-control") Nodes::setServiceControl(value);
    else if (name == "--ipmi-retransmission-timeout") IPMI::setRetransmissionTimeout(std::stoul(value));
  }
}

// --- Sign-in and HTTPS (the web server's own options for them are in
// web/server_options: https-*, ssl-*, allow-plain-http, allowed-hosts,
// idle-timeout) ---
const char* const default_admin_group = "trellium";

// Root and the members of this group may sign in (--admin-group NAME).
std::string readAdminGroup(int argc, char** argv) {
  std::string group = default_admin_group;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--admin-group") group = argv[i + 1];
  return group;
}

// Serving HTTPS without a configured certificate: the one made on first
// start, for the names the browser may use.
void useOwnCertificate(web::Server& server) {
  web::ServerOptions options = server.options();
  if (options.security.httpsAddress.empty() || !options.security.certificate.empty()) return;
  const std::vector<std::string> names =
      options.security.allowedHosts.empty() ? web::machineHostNames() : options.security.allowedHosts;
  const trl::CertificateFiles files = trl::ensureSelfSignedCertificate(names);
  options.security.certificate = files.certificate;
  options.security.privateKey = files.privateKey;
  server.setOptions(options);
}

}  // namespace

int main(int argc, char** argv) {
  setlinebuf(stdout);
  setlinebuf(stderr);
  std::cout.unsetf(std::ios::unitbuf);
  std::cerr.unsetf(std::ios::unitbuf);
  std::clog.unsetf(std::ios::unitbuf);

  // SIGTERM goes to the main thread only, so that it interrupts the event
  // loop's wait at once: threads started from here on inherit the block.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, nullptr);

  std::string admin_group;
  try {
    readOwnOptions(argc, argv);
    admin_group = readAdminGroup(argc, argv);
    setupCorefiles();
  } catch (const std::exception& e) {
    std::cerr << "exception: " << e.what() << std::endl;
    return 1;
  }
  SessionPresence::set([] {
    const std::lock_guard<std::mutex> guard(Trellium::sessionListMutex);
    return !Trellium::sessionList.empty();
  });

  {
    std::unique_ptr<web::Server> server;
    try {
      server = std::make_unique<web::Server>(argv[0]);
      server->setServerConfiguration(argc, argv, trl::sysPath(server_options_file));
      // The connection limits' defaults fit the 128 descriptors (see
      // web::ServerOptions::Limits).
      useOwnCertificate(*server);
      server->requireSignIn(trelliumSignIn(admin_group));
      server->addEntryPoint(createApplication, "", "/images/favicon.svg");
      server->start();
      const web::ServerOptions& listening = server->options();
      if (server->httpPort())
        TRL_LOG("listening on " << listening.httpAddress << ":" << server->httpPort());
      if (server->httpsPort())
        TRL_LOG("listening on " << listening.security.httpsAddress << ":" << server->httpsPort() << " (HTTPS)");
      struct sigaction action {};
      action.sa_handler = handleSignal;
      sigemptyset(&action.sa_mask);
      if (sigaction(SIGTERM, &action, nullptr) != 0) throw TRL_SYSERROR("failed to add signal handler");
      pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
      Modules::getInstance()->runEventLoop();
      server->stop();
    } catch (const web::ServerError& e) {
      std::cerr << e.what() << std::endl;
    } catch (const std::exception& e) {
      std::cerr << "exception: " << e.what() << std::endl;
    }
  }
  SessionPresence::set({});
  TRL_LOG("Trellium terminating with restart flag " << (Trellium::restart ? 1 : 0));
  return Trellium::restart ? 20 : 0;
}
