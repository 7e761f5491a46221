#include "modules/utils.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "modules/base.h"
#include "modules/error.h"

namespace {

// posix_spawn* report failure through their result, not errno.
void checkSpawnCall(int rc, const char* what) {
  if (rc != 0) {
    errno = rc;
    throw TRL_SYSERROR(what);
  }
}

}  // namespace

void launch(char* const* args, int retval, bool wait_for_child, bool logging) {
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

  if (!logging) {
    for (int fd = 0; fd <= 2; ++fd) {
      const int rc = posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", 0, 0);
      if (rc != 0) {
        errno = rc;
        TRL_SYSWARN("posix_spawn_file_actions_addopen failed");
      }
    }
  }

  char path_var[] = "PATH=/sbin:/usr/sbin:/bin:/usr/bin";
  char* const env[] = {path_var, nullptr};

  std::string command = "{ ";
  for (char* const* a = args; *a != nullptr; ++a) command += std::string(*a) + " ";
  command += "}";
  TRL_LOG("launching " << command << " wait=" << to_string(wait_for_child) << " logging=" << to_string(logging));

  pid_t pid;
  checkSpawnCall(posix_spawn(&pid, args[0], &actions, &attr, args, env), "posix_spawn failed");
  actions_guard.a = nullptr;
  checkSpawnCall(posix_spawn_file_actions_destroy(&actions), "posix_spawn_file_actions_destroy failed");
  attr_guard.a = nullptr;
  checkSpawnCall(posix_spawnattr_destroy(&attr), "posix_spawnattr_destroy failed");

  if (!wait_for_child) return;

  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited == -1 && errno == EINTR);
  if (waited == -1) throw TRL_SYSERROR("wait failed");
  if (waited != pid) throw TRL_ERROR("expected child exited");

  TRL_LOG("exit flags " << status);
  if (!WIFEXITED(status)) throw TRL_ERROR("child process exited abnormally" + to_string(WIFEXITED(status)));
  if (WEXITSTATUS(status) != retval)
    throw TRL_ERROR(command + " exited with " + to_string(WEXITSTATUS(status)) + "; expected " + to_string(retval));
}
