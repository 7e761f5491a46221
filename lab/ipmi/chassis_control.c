/*
 * Power and chassis state of one simulated server, for ipmi_sim's
 * `chassis_control "chassis_control STATEFILE"` line in lan.conf.
 *
 * ipmi_sim runs it (through sh) for every Chassis Control, and for Get
 * Chassis Status unless the controller plugin answers that from the state
 * file (oem_mac.c, as make-bmc.sh sets it up). A small compiled program, so
 * a command costs one exec rather than a shell and two scripts.
 *
 * ipmi_sim appends an operation and name/value pairs:
 *   chassis_control STATEFILE get power [boot]     prints power:0|1 (boot:default)
 *   chassis_control STATEFILE set power 0|1        off / on
 *   chassis_control STATEFILE set shutdown 1       soft shutdown: the server goes off
 *   chassis_control STATEFILE set reset 1          hard reset: power stays as it is
 *   chassis_control STATEFILE set boot VALUE       accepted and ignored
 *   chassis_control STATEFILE set identify VALUE   accepted and ignored
 * A power cycle arrives as "set power 0" followed by "set power 1".
 *
 * STATEFILE holds "1" (on) or "0" (off); a missing file means on, the state
 * of a freshly installed server. It is replaced by rename, so a reader never
 * sees a half-written file.
 *
 * After a successful set, a program named chassis_control.after-set beside
 * this one, if there is one, is started with the same arguments and left
 * running on its own: the virtual cluster's hosts follow their power that
 * way, while ipmi_sim answers the command at once (a client left waiting
 * past its retransmission timeout loses its session).
 */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static void fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("chassis_control: ", stdout);
  vprintf(format, args);
  putchar('\n');
  va_end(args);
  exit(1);
}

/* 0 or 1; a missing file is 1. */
static int read_power(const char *state_file) {
  const int fd = open(state_file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 1;
    fail("cannot read %s", state_file);
  }
  char text[16];
  ssize_t n;
  do n = read(fd, text, sizeof text - 1);
  while (n < 0 && errno == EINTR);
  close(fd);
  if (n < 0) fail("cannot read %s", state_file);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
  text[n] = '\0';
  if (strcmp(text, "0") == 0) return 0;
  if (strcmp(text, "1") == 0) return 1;
  fail("%s holds '%s', expected 0 or 1", state_file, text);
  return -1;
}

static void write_power(const char *state_file, const char *value) {
  char tmp[4096];
  if (snprintf(tmp, sizeof tmp, "%s.tmp.%ld", state_file, (long)getpid()) >= (int)sizeof tmp)
    fail("cannot write %s", state_file);
  const int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("cannot write %s", state_file);
  char line[4];
  const int len = snprintf(line, sizeof line, "%s\n", value);
  const int ok = write(fd, line, (size_t)len) == len;
  if (close(fd) != 0 || !ok || rename(tmp, state_file) != 0) {
    unlink(tmp);
    fail("cannot write %s", state_file);
  }
}

static void do_get(const char *state_file, int argc, char **argv) {
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "power") == 0)
      printf("power:%d\n", read_power(state_file));
    else if (strcmp(argv[i], "boot") == 0)
      puts("boot:default");
    else
      fail("cannot get '%s'", argv[i]);
  }
}

static void do_set(const char *state_file, int argc, char **argv) {
  for (int i = 0; i < argc; i += 2) {
    const char *name = argv[i];
    if (i + 1 >= argc) fail("no value for '%s'", name);
    const char *value = argv[i + 1];
    if (strcmp(name, "power") == 0) {
      if (strcmp(value, "0") != 0 && strcmp(value, "1") != 0) fail("power must be 0 or 1, not '%s'", value);
      write_power(state_file, value);
    } else if (strcmp(name, "shutdown") == 0) {
      if (strcmp(value, "0") != 0) write_power(state_file, "0");
    } else if (strcmp(name, "reset") != 0 && strcmp(name, "boot") != 0 && strcmp(name, "identify") != 0) {
      fail("cannot set '%s'", name);
    }
  }
}

/* Starts chassis_control.after-set beside this program, when there is one,
   detached: in a session of its own, its output nowhere near ipmi_sim's. */
static void after_set(const char *self, char **argv) {
  const char *slash = strrchr(self, '/');
  if (!slash) return;
  char hook[4096];
  if (snprintf(hook, sizeof hook, "%.*s/chassis_control.after-set", (int)(slash - self), self) >= (int)sizeof hook)
    return;
  if (access(hook, X_OK) != 0) return;
  fflush(stdout);
  const pid_t child = fork();
  if (child < 0) fail("cannot start %s", hook);
  if (child == 0) {
    setsid();
    if (fork() != 0) _exit(0);  /* the grandchild is adopted and reaped by init */
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    argv[0] = hook;
    execv(hook, argv);
    _exit(127);
  }
  while (waitpid(child, NULL, 0) < 0 && errno == EINTR) {
  }
}

int main(int argc, char **argv) {
  if (argc < 3) fail("usage: chassis_control STATEFILE get|set NAME [VALUE] ...");
  const char *state_file = argv[1];
  const char *op = argv[2];
  if (strcmp(op, "get") == 0) {
    do_get(state_file, argc - 3, argv + 3);
  } else if (strcmp(op, "set") == 0) {
    do_set(state_file, argc - 3, argv + 3);
    after_set(argv[0], argv);
  } else {
    fail("unknown operation '%s'", op);
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
