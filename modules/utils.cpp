#include "modules/utils.h"

#include <signal.h>
#include <sys/mman.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "modules/base.h"
#include "modules/error.h"
#include "modules/unique_fd.h"

namespace {

// posix_spawn* report failure through their result, not errno.
void checkSpawnCall(int rc, const char* what) {
  if (rc != 0) {
    errno = rc;
    throw TRL_SYSERROR(what);
  }
}

std::string commandText(char* const* args) {
  std::string command = "{ ";
  for (char* const* a = args; *a != nullptr; ++a) command += std::string(*a) + " ";
  return command + "}";
}

// Starts args[0]; the child's standard descriptors are ours (logging),
// /dev/null, or with output >= 0 /dev/null for input and output for the
// other two.
pid_t spawn(char* const* args, bool wait_for_child, bool logging, int output = -1) {
  posix_spawnattr_t attr;
  checkSpawnCall(posix_spawnattr_init(&attr), "posix_spawnattr_init failed");
  // Both objects are destroyed on every path; the orderly path checks the result.
  struct AttrGuard {
    posix_spawnattr_t* a;
    ~AttrGuard() { if (a) posix_spawnattr_destroy(a); }
  } attr_guard{&attr};

  checkSpawnCall(posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK), "posix_spawnattr_setflags failed");
  sigset_t mask;
  if (sigemptyset(&mask) != 0) throw TRL_SYSERROR("sigemptyset failed");
  checkSpawnCall(posix_spawnattr_setsigmask(&attr, &mask), "posix_spawnattr_setsigmask failed");

  posix_spawn_file_actions_t actions;
  checkSpawnCall(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init failed");
  struct ActionsGuard {
    posix_spawn_file_actions_t* a;
    ~ActionsGuard() { if (a) posix_spawn_file_actions_destroy(a); }
  } actions_guard{&actions};

  // Standard descriptors first: the sweep below would close output.
  if (!logging || output >= 0) {
    for (int fd = 0; fd <= 2; ++fd) {
      const int rc = output >= 0 && fd > 0 ? posix_spawn_file_actions_adddup2(&actions, output, fd)
                                           : posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", 0, 0);
      if (rc != 0) {
        errno = rc;
        TRL_SYSWARN("posix_spawn_file_actions_addopen failed");
      }
    }
  }

  // The child gets standard input, output and error only. Every descriptor
  // of ours is close-on-exec already; closing the rest in the child as well
  // covers those a library opened without the flag, and costs one action
  // where a sweep over every possible descriptor number costs one system
  // call per number (20,000 with a high limit).
  const int rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (rc != 0) {
    errno = rc;
    TRL_SYSWARN("posix_spawn_file_actions_addclose failed");
  }

  char path_var[] = "PATH=/sbin:/usr/sbin:/bin:/usr/bin";
  char* const env[] = {path_var, nullptr};

  std::string command = commandText(args);
  TRL_LOG("launching " << command << " wait=" << to_string(wait_for_child) << " logging=" << to_string(logging));

  pid_t pid;
  checkSpawnCall(posix_spawn(&pid, args[0], &actions, &attr, args, env), "posix_spawn failed");
  actions_guard.a = nullptr;
  checkSpawnCall(posix_spawn_file_actions_destroy(&actions), "posix_spawn_file_actions_destroy failed");
  attr_guard.a = nullptr;
  checkSpawnCall(posix_spawnattr_destroy(&attr), "posix_spawnattr_destroy failed");
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited == -1 && errno == EINTR);
  if (waited == -1) throw TRL_SYSERROR("wait failed");
  if (waited != pid) throw TRL_ERROR("expected child exited");
  TRL_LOG("exit flags " << status);
  return status;
}

}  // namespace

void launch(char* const* args, int retval, bool wait_for_child, bool logging) {
  const pid_t pid = spawn(args, wait_for_child, logging);
  if (!wait_for_child) return;
  const int status = waitFor(pid);
  if (!WIFEXITED(status)) throw TRL_ERROR("child process exited abnormally" + to_string(WIFEXITED(status)));
  if (WEXITSTATUS(status) != retval)
    throw TRL_ERROR(commandText(args) + " exited with " + to_string(WEXITSTATUS(status)) + "; expected " +
                    to_string(retval));
}

int launchCaptured(char* const* args, std::string& output) {
  const trl::UniqueFd capture(::memfd_create("output", MFD_CLOEXEC));
  if (!capture) throw TRL_SYSERROR("memfd_create failed");
  const int status = waitFor(spawn(args, true, true, capture.get()));
  output.clear();
  char buffer[4096];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(capture.get(), buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
