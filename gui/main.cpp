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

#include "gui/configuration.h"
#include "gui/modules.h"
#include "gui/sign_in.h"
#include "gui/trellium.h"
#include "modules/error.h"
#include "modules/paths.h"
#include "modules/server_certificate.h"
#include "modules/unique_fd.h"
#include "modules/version.h"
#include "web/host_names.h"
#include "web/server.h"

namespace {

const char* const core_pattern = "/var/crash/core-%t";
const char* const core_dir = "/var/crash";
const int cores_kept = 5;
const rlim_t core_size_limit = 268435456;
const rlim_t open_files_limit = 128;

void setupCorefiles() {
  const std::string pattern_file = trl::sysPath("/proc/sys/kernel/core_pattern");
  trl::UniqueFd fd(::open(pattern_file.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd) throw TRL_SYSERROR("open core_pattern failed");
  const ssize_t written = ::write(fd.get(), core_pattern, std::strlen(core_pattern));
  if (written != static_cast<ssize_t>(std::strlen(core_pattern))) throw TRL_SYSERROR("write to core_pattern failed");
  fd.close("close core_pattern failed");

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

// Serving HTTPS without a configured certificate: the one made on first
// start, for the names the browser may use.
void useOwnCertificate(web::ServerOptions& options) {
  if (options.security.httpsAddress.empty() || !options.security.certificate.empty()) return;
  const std::vector<std::string> names =
      options.security.allowedHosts.empty() ? web::machineHostNames() : options.security.allowedHosts;
  const trl::CertificateFiles files = trl::ensureSelfSignedCertificate(names);
  options.security.certificate = files.certificate;
  options.security.privateKey = files.privateKey;
}

}  // namespace

int main(int argc, char** argv) {
  setlinebuf(stdout);
  setlinebuf(stderr);
  std::cout.unsetf(std::ios::unitbuf);
  std::cerr.unsetf(std::ios::unitbuf);
  std::clog.unsetf(std::ios::unitbuf);

  // The whole configuration first: a wrong option ends the start before
  // anything on disk (the core pattern, /var/crash, the hosts file) is touched.
  CommandLine command;
  try {
    command = parseCommandLine(argc, argv);
  } catch (const ConfigurationError& e) {
    std::cerr << "trellium: " << e.what() << " (see --help)" << std::endl;
    return 1;
  }
  if (command.action == CommandLine::Action::Help) {
    std::cout << helpText() << std::flush;
    return 0;
  }
  if (command.action == CommandLine::Action::Version) {
    std::cout << "Trellium v" TRELLIUM_VERSION << std::endl;
    return 0;
  }
  Configuration& config = command.config;

  // SIGTERM goes to the main thread only, so that it interrupts the event
  // loop's wait at once: threads started from here on inherit the block.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, nullptr);

  try {
    trl::setSysroot(config.sysroot);
    setupCorefiles();
    useOwnCertificate(config.server);
  } catch (const std::exception& e) {
    std::cerr << "exception: " << e.what() << std::endl;
    return 1;
  }
  // The polling and history threads rest while no browser session is open.
  config.backend.anyone_watching = [] {
    const std::lock_guard<std::mutex> guard(Trellium::sessionListMutex);
    return !Trellium::sessionList.empty();
  };

  {
    std::unique_ptr<web::Server> server;
    try {
      server = std::make_unique<web::Server>(argv[0]);
      server->setOptions(config.server);
      // The connection limits' defaults fit the 128 descriptors (see
      // web::ServerOptions::Limits).
      server->requireSignIn(trelliumSignIn(config.adminGroup));
      server->addEntryPoint(createApplication, "", "/images/favicon.svg");
      server->start();
      const web::ServerOptions& listening = server->options();
      if (server->httpPort())
        TRL_LOG("listening on " << listening.httpAddress << ":" << server->httpPort());
      if (server->httpsPort())
        TRL_LOG("listening on " << listening.security.httpsAddress << ":" << server->httpsPort() << " (HTTPS)");
      // A page that opens meanwhile waits for the back end.
      Modules* const modules = Modules::create(config.backend);
      struct sigaction action {};
      action.sa_handler = handleSignal;
      sigemptyset(&action.sa_mask);
      if (sigaction(SIGTERM, &action, nullptr) != 0) throw TRL_SYSERROR("failed to add signal handler");
      pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
      modules->runEventLoop();
      server->stop();
    } catch (const web::ServerError& e) {
      std::cerr << e.what() << std::endl;
    } catch (const std::exception& e) {
      std::cerr << "exception: " << e.what() << std::endl;
    }
  }
  TRL_LOG("Trellium terminating with restart flag " << (Trellium::restart ? 1 : 0));
  return Trellium::restart ? 20 : 0;
}
