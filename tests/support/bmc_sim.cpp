#include "tests/support/bmc_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <freeipmi/freeipmi.h>

#include "modules/unique_fd.h"
#include "tests/support/scratch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

extern char** environ;

namespace fs = std::filesystem;

namespace trl::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAnswerTimeoutMs = 20000;   // a controller must answer IPMI within this after start
// Session timeout of one readiness try. On a loaded machine starting many
// simulators the first answer can take over a second; giving up on a slow
// try would only start the same wait over.
constexpr int kTrySessionTimeoutMs = 3000;
constexpr int kConsoleTimeoutMs = 5000;   // one console command
constexpr int kStopGraceMs = 5000;        // SIGTERM, then SIGKILL
constexpr int kFirstHost = 10;            // controller i is 127.X.Y.(10 + i)
constexpr int kDeadHost = 9;              // nothing ever listens there
constexpr int kMaxControllers = 200;

std::string errnoText(int err) { return std::strerror(err); }

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// An open descriptor, closed when the object goes.
using Fd = trl::UniqueFd;

std::string findInPath(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error(program + " not found in PATH; run scripts/setup.sh (it installs "
                           "openipmi and freeipmi-tools)");
}

// A child process in a process group of its own. It is killed when the
// thread that started it ends (so a crashed test leaves no simulator
// behind) and by the destructor, which also waits for it.
class Child {
 public:
  struct Invocation {
    std::vector<std::string> argv;
    int output_fd = -1;  // standard output and error
    std::string cwd;     // empty: inherit
    bool ignore_sigpipe = false;
  };

  Child() = default;
  explicit Child(const Invocation& invocation) { spawn(invocation); }
  ~Child() { terminate(); }
  Child(Child&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)), status_(other.status_) {}
  Child& operator=(Child&& other) noexcept {
    if (this != &other) {
      terminate();
      pid_ = std::exchange(other.pid_, -1);
      pidfd_ = std::move(other.pidfd_);
      status_ = other.status_;
    }
    return *this;
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool running() { return pid_ > 0 && !waitFor(0); }

  // Waits at most timeout_ms (-1: no limit) for the child to end; true once
  // it has been reaped (or never ran).
  bool waitFor(int timeout_ms) {
    if (pid_ <= 0) return true;
    if (!exited(timeout_ms)) return false;
    reap();
    return true;
  }

  // SIGTERM to the group, a grace period, then SIGKILL; always reaps.
  void terminate() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    if (!exited(kStopGraceMs)) {
      kill(-pid_, SIGKILL);
      exited(-1);
    }
    // Helpers the child started (chassis_control) may still be in its
    // group; the unreaped leader keeps the group id from being reused.
    kill(-pid_, SIGKILL);
    reap();
  }

  // Exit status, or 128 + signal; -1 while running.
  int status() const { return status_; }

 private:
  void spawn(const Invocation& invocation) {
    const std::string program = findInPath(invocation.argv.at(0));
    std::vector<char*> argv;
    for (const auto& a : invocation.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Fd null_in(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!null_in) throw std::runtime_error("cannot open /dev/null: " + errnoText(errno));
    int err_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed: " + errnoText(errno));
    Fd err_read(err_pipe[0]), err_write(err_pipe[1]);
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed: " + errnoText(errno));
    if (pid == 0) {
      // Only async-signal-safe calls between fork and exec.
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      for (const int sig : {SIGTERM, SIGINT, SIGCHLD, SIGHUP}) sigaction(sig, &dfl, nullptr);
      // ipmi_sim does not ignore SIGPIPE: a console client that hangs up
      // before the prompt is written would kill it.
      struct sigaction pipe_action {};
      pipe_action.sa_handler = invocation.ignore_sigpipe ? SIG_IGN : SIG_DFL;
      sigaction(SIGPIPE, &pipe_action, nullptr);
      const int out = invocation.output_fd >= 0 ? invocation.output_fd : null_in.get();
      if (dup2(null_in.get(), 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(127);
      // Nothing else of this process reaches the child.
      syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
      if (!invocation.cwd.empty() && chdir(invocation.cwd.c_str()) != 0) {
        const int e = errno;
        (void)!write(err_write.get(), &e, sizeof e);
        _exit(127);
      }
      execve(program.c_str(), argv.data(), environ);
      const int e = errno;
      (void)!write(err_write.get(), &e, sizeof e);
      _exit(127);
    }
    pid_ = pid;
    pidfd_ = Fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd_) {
      const int e = errno;
      kill(-pid, SIGKILL);
      int st;
      waitpid(pid, &st, 0);
      pid_ = -1;
      throw std::runtime_error("pidfd_open failed (Linux 5.3 or later needed): " + errnoText(e));
    }
    err_write.reset();
    int child_errno = 0;
    ssize_t n;
    do n = read(err_read.get(), &child_errno, sizeof child_errno);
    while (n < 0 && errno == EINTR);
    if (n == sizeof child_errno) {
      waitFor(-1);
      throw std::runtime_error("cannot start " + program + ": " + errnoText(child_errno));
    }
  }

  // The child has ended (it stays a zombie until reap()).
  bool exited(int timeout_ms) {
    pollfd p{pidfd_.get(), POLLIN, 0};
    int rv;
    do rv = poll(&p, 1, timeout_ms);
    while (rv < 0 && errno == EINTR);
    return rv != 0;
  }

  void reap() {
    int st = 0;
    pid_t r;
    do r = waitpid(pid_, &st, 0);
    while (r < 0 && errno == EINTR);
    if (r == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    pid_ = -1;
    pidfd_.reset();
  }

  pid_t pid_ = -1;
  Fd pidfd_;
  int status_ = -1;
};

std::string lastLines(const std::string& path, size_t count) {
  std::istringstream in(readFile(path));
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  std::string out;
  for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
    out += lines[i] + "\n";
  return out.empty() ? "(empty)\n" : out;
}

sockaddr_in socketAddress(const std::string& address, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
    throw std::invalid_argument("not an IPv4 address: " + address);
  return sa;
}

// True when nothing holds address:port of the given socket type.
bool portFree(const std::string& address, int port, int type) {
  Fd s(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!s) throw std::runtime_error("socket failed: " + errnoText(errno));
  const sockaddr_in sa = socketAddress(address, port);
  if (bind(s.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
  if (errno == EACCES)
    throw std::runtime_error("binding " + address + ":" + std::to_string(port) +
                             " needs root (or CAP_NET_BIND_SERVICE)");
  return false;
}

bool hostFree(const std::string& address) {
  return portFree(address, SimulatedBmcs::ipmi_port, SOCK_DGRAM) &&
         portFree(address, SimulatedBmcs::console_port, SOCK_STREAM);
}

// 127.X.Y. with X in 100..227 and Y in 0..255, derived from the process id
// (and a per-process serial number for fixtures alive at the same time), the
// first whose addresses are all free.
std::string pickPrefix(int n) {
  static std::atomic<unsigned> serial{0};
  const unsigned base = static_cast<unsigned>(getpid()) + 7919u * serial++;
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    const unsigned k = (base + attempt * 257u) % 32768u;
    const std::string prefix = "127." + std::to_string(100 + k / 256) + "." + std::to_string(k % 256) + ".";
    bool free = hostFree(prefix + std::to_string(kDeadHost));
    for (int i = 0; free && i < n; ++i) free = hostFree(prefix + std::to_string(kFirstHost + i));
    if (free) return prefix;
  }
  throw std::runtime_error("no free block of 127.x.y.z addresses for simulated controllers after 64 tries");
}

// Removes telnet negotiation (IAC sequences) from console output.
std::string stripTelnet(const std::string& raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    const auto c = static_cast<unsigned char>(raw[i]);
    if (c != 255) {
      out += raw[i];
    } else if (i + 1 < raw.size() && static_cast<unsigned char>(raw[i + 1]) == 255) {
      out += raw[++i];
    } else if (i + 1 < raw.size() && static_cast<unsigned char>(raw[i + 1]) >= 251) {
      i += 2;  // WILL/WONT/DO/DONT option
    } else {
      i += 1;
    }
  }
  return out;
}

// A connection to a controller's console, open once the first prompt has
// arrived (a client that hangs up earlier would hit the prompt's write).
class ConsoleConnection {
 public:
  ConsoleConnection(const std::string& address, int port, Clock::time_point deadline)
      : deadline_(deadline) {
    fd_ = Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_) throw std::runtime_error("socket failed: " + errnoText(errno));
    const sockaddr_in sa = socketAddress(address, port);
    if (connect(fd_.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
      throw std::system_error(errno, std::generic_category(), "connect to " + address + ":" + std::to_string(port));
    readUntilPrompt();
    buffer_.clear();
  }

  // The reply to one command line, without echo and prompt.
  std::string run(const std::string& command) {
    const std::string line = command + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
      const ssize_t n = send(fd_.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw std::runtime_error("console send failed: " + errnoText(errno));
      sent += static_cast<size_t>(n);
    }
    readUntilPrompt();
    // The console echoes the line, then the output; lines end in "\n\r".
    std::string text = buffer_.substr(0, buffer_.size() - 2);
    const size_t echo_end = text.find("\n\r");
    text = echo_end == std::string::npos ? std::string() : text.substr(echo_end + 2);
    std::string reply;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r') continue;
      reply += text[i];
    }
    return reply;
  }

 private:
  bool complete() const {
    if (buffer_.size() < 2 || buffer_.compare(buffer_.size() - 2, 2, "> ") != 0) return false;
    return buffer_.size() == 2 || buffer_.find("\n\r") != std::string::npos;
  }

  void readUntilPrompt() {
    std::string raw;
    for (;;) {
      buffer_ = stripTelnet(raw);
      if (complete()) return;
      pollfd p{fd_.get(), POLLIN, 0};
      const int rv = poll(&p, 1, remainingMs(deadline_));
      if (rv < 0 && errno == EINTR) continue;
      if (rv <= 0) throw std::runtime_error("no console prompt");
      char chunk[4096];
      const ssize_t n = recv(fd_.get(), chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("console closed the connection");
      raw.append(chunk, static_cast<size_t>(n));
    }
  }

  Clock::time_point deadline_;
  Fd fd_;
  std::string buffer_;
};

// One IPMI session and a Get Chassis Status, as the product's client does it.
bool answersIpmi(const std::string& address, const BmcOptions& options, std::string& error) {
  std::unique_ptr<struct ipmi_ctx, decltype(&ipmi_ctx_destroy)> ctx(ipmi_ctx_create(), ipmi_ctx_destroy);
  if (!ctx) {
    error = "ipmi_ctx_create failed";
    return false;
  }
  constexpr unsigned int retransmission_timeout_ms = 100;
  if (ipmi_ctx_open_outofband(ctx.get(), address.c_str(), options.user.c_str(), options.password.c_str(),
                              IPMI_AUTHENTICATION_TYPE_MD5, IPMI_PRIVILEGE_LEVEL_ADMIN, kTrySessionTimeoutMs,
                              retransmission_timeout_ms, 0, 0) < 0) {
    error = ipmi_ctx_errormsg(ctx.get());
    return false;
  }
  std::unique_ptr<struct fiid_obj, decltype(&fiid_obj_destroy)> status(
      fiid_obj_create(tmpl_cmd_get_chassis_status_rs), fiid_obj_destroy);
  const bool ok = status && ipmi_cmd_get_chassis_status(ctx.get(), status.get()) >= 0;
  if (!ok) error = ipmi_ctx_errormsg(ctx.get());
  ipmi_ctx_close(ctx.get());
  return ok;
}

const char* modeWord(SimulatedBmcs::OemMode mode) {
  switch (mode) {
    case SimulatedBmcs::OemMode::Normal: return "normal";
    case SimulatedBmcs::OemMode::WrongLength: return "wrong-length";
    case SimulatedBmcs::OemMode::OnlyZero: return "only-zero";
  }
  return "normal";
}

// Readers (chassis_control) see the old or the new text, never a mix.
void writeFileAtomically(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp." + std::to_string(getpid());
  {
    const Fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      throw std::runtime_error("cannot write " + tmp + ": " + errnoText(errno));
  }
  if (rename(tmp.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot rename " + tmp + " to " + path + ": " + errnoText(errno));
}

}  // namespace

ToolResult runTool(const std::vector<std::string>& argv, int timeout_ms) {
  if (argv.empty()) throw std::invalid_argument("runTool: empty command");
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed: " + errnoText(errno));
  Fd out_read(fds[0]), out_write(fds[1]);
  Child::Invocation invocation;
  invocation.argv = argv;
  invocation.output_fd = out_write.get();
  Child child(invocation);
  out_write.reset();

  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  ToolResult result;
  for (;;) {
    pollfd p{out_read.get(), POLLIN, 0};
    const int rv = poll(&p, 1, remainingMs(deadline));
    if (rv < 0 && errno == EINTR) continue;
    if (rv <= 0)
      throw std::runtime_error(argv[0] + " did not finish within " + std::to_string(timeout_ms) + " ms");
    char chunk[4096];
    const ssize_t n = read(out_read.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(chunk, static_cast<size_t>(n));
  }
  if (!child.waitFor(remainingMs(deadline)))
    throw std::runtime_error(argv[0] + " did not exit within " + std::to_string(timeout_ms) + " ms");
  result.exit_code = child.status();
  return result;
}

std::string macText(uint64_t mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", static_cast<unsigned>((mac >> 40) & 0xff),
                static_cast<unsigned>((mac >> 32) & 0xff), static_cast<unsigned>((mac >> 24) & 0xff),
                static_cast<unsigned>((mac >> 16) & 0xff), static_cast<unsigned>((mac >> 8) & 0xff),
                static_cast<unsigned>(mac & 0xff));
  return text;
}

struct SimulatedBmcs::Directory {
  std::string path;
  Directory() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/trl-bmcs-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp " + pattern + " failed: " + errnoText(errno));
    path = pattern;
  }
  ~Directory() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
};

struct SimulatedBmcs::Controller {
  int index = 0;
  std::string address;
  std::string dir;
  uint64_t mac = 0;
  OemMode mode = OemMode::Normal;
  mutable Child process;  // running() reaps a child that has ended

  std::string log() const { return dir + "/log"; }
  std::string where() const {
    return "controller " + std::to_string(index) + " (" + address + ":" + std::to_string(ipmi_port) + ")";
  }
};

SimulatedBmcs::SimulatedBmcs(int n, const BmcOptions& options) : options_(options) {
  if (n < 1 || n > kMaxControllers)
    throw std::invalid_argument("SimulatedBmcs: between 1 and " + std::to_string(kMaxControllers) +
                                " controllers, not " + std::to_string(n));
  const std::string script = std::string(TRL_SOURCE_DIR) + "/lab/ipmi/make-bmc.sh";
  const std::string artifacts = std::string(TRL_BINARY_DIR) + "/lab/ipmi";
  for (const char* file : {"node.sdr", "oem_mac.so", "chassis_control"})
    if (access((artifacts + "/" + file).c_str(), R_OK) != 0)
      throw std::runtime_error(artifacts + "/" + file + " is missing: build the target trl_lab_ipmi");

  dir_ = std::make_unique<Directory>();
  prefix_ = pickPrefix(n);
  for (int i = 0; i < n; ++i) {
    auto c = std::make_unique<Controller>();
    c->index = i;
    c->address = prefix_ + std::to_string(kFirstHost + i);
    c->dir = dir_->path + "/bmc" + std::to_string(i);
    c->mac = options.mac + static_cast<uint64_t>(i);
    controllers_.push_back(std::move(c));
  }
  // Configured side by side, started at once, waited for side by side.
  forEachController([&](Controller& c) {
    const ToolResult made = runTool({"bash", script, c.address, c.dir, "--user", options_.user, "--password",
                                     options_.password, "--mac", macText(c.mac), "--power",
                                     options_.powered ? "on" : "off", "--console-port", std::to_string(console_port),
                                     "--name", "bmc" + std::to_string(c.index), "--artifacts", artifacts});
    if (made.exit_code != 0) throw std::runtime_error("make-bmc.sh failed for " + c.where() + ":\n" + made.output);
  });
  for (auto& c : controllers_) launch(*c);
  forEachController([this](Controller& c) { waitUntilAnswering(c); });
}

// Runs work for every controller on threads of its own; rethrows the first
// failure once all have finished. The work must not start processes that
// outlive it (they would die with its thread).
template <typename Work>
void SimulatedBmcs::forEachController(Work work) {
  std::vector<std::future<void>> done;
  for (auto& c : controllers_) done.push_back(std::async(std::launch::async, [&work, &c] { work(*c); }));
  std::exception_ptr first_error;
  for (auto& d : done) {
    try {
      d.get();
    } catch (...) {
      if (!first_error) first_error = std::current_exception();
    }
  }
  if (first_error) std::rethrow_exception(first_error);
}

SimulatedBmcs::~SimulatedBmcs() = default;

int SimulatedBmcs::size() const { return static_cast<int>(controllers_.size()); }

SimulatedBmcs::Controller& SimulatedBmcs::at(int i) {
  if (i < 0 || i >= size()) throw std::out_of_range("no simulated controller " + std::to_string(i));
  return *controllers_[static_cast<size_t>(i)];
}

const SimulatedBmcs::Controller& SimulatedBmcs::at(int i) const {
  if (i < 0 || i >= size()) throw std::out_of_range("no simulated controller " + std::to_string(i));
  return *controllers_[static_cast<size_t>(i)];
}

std::string SimulatedBmcs::address(int i) const { return at(i).address; }

std::string SimulatedBmcs::deadAddress() const { return prefix_ + std::to_string(kDeadHost); }

const std::string& SimulatedBmcs::stateDir() const { return dir_->path; }

void SimulatedBmcs::launch(Controller& c) {
  Fd log(open(c.log().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!log) throw std::runtime_error("cannot open " + c.log() + ": " + errnoText(errno));
  Child::Invocation invocation;
  invocation.argv = {"ipmi_sim", "-n", "-c", c.dir + "/lan.conf", "-f", c.dir + "/node.emu", "-s", c.dir};
  invocation.output_fd = log.get();
  invocation.cwd = c.dir;
  invocation.ignore_sigpipe = true;
  c.process = Child(invocation);
}

// First the console (cheap to try, and proof the process is up), then a
// real IPMI session; between tries it waits on the process itself, so an
// early exit is seen at once.
void SimulatedBmcs::waitUntilAnswering(Controller& c) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  const auto giveUp = [&](const std::string& why) {
    return std::runtime_error("ipmi_sim did not answer on " + c.address + ":" + std::to_string(ipmi_port) +
                              " within " + std::to_string(kAnswerTimeoutMs / 1000) + " s (" + why + "); see " +
                              c.log() + ":\n" + lastLines(c.log(), 10));
  };
  const auto pause = [&](int ms) {
    if (c.process.waitFor(std::min(ms, remainingMs(deadline))))
      throw std::runtime_error("ipmi_sim for " + c.where() + " exited with status " +
                               std::to_string(c.process.status()) + " while starting; see " + c.log() + ":\n" +
                               lastLines(c.log(), 10));
  };
  std::string last_error = "console never accepted a connection";
  for (;;) {
    try {
      const ConsoleConnection up(c.address, console_port, deadline);
      break;
    } catch (const std::exception& e) {
      last_error = std::string("console: ") + e.what();
    }
    if (remainingMs(deadline) == 0) throw giveUp(last_error);
    pause(5);
  }
  for (;;) {
    if (answersIpmi(c.address, options_, last_error)) return;
    if (remainingMs(deadline) == 0) throw giveUp("IPMI: " + last_error);
    pause(20);
  }
}

std::string SimulatedBmcs::console(int i, const std::string& command) {
  const Controller& c = at(i);
  if (command.find_first_of("\r\n") != std::string::npos)
    throw std::invalid_argument("one console command, without line breaks: " + command);
  try {
    ConsoleConnection connection(c.address, console_port,
                                 Clock::now() + std::chrono::milliseconds(kConsoleTimeoutMs));
    return connection.run(command);
  } catch (const std::exception& e) {
    throw std::runtime_error("console of " + c.where() + " port " + std::to_string(console_port) + " failed on '" +
                             command + "': " + e.what() + "; see " + c.log());
  }
}

namespace {
void requireNoError(const std::string& reply, const std::string& command) {
  if (reply.find("**") != std::string::npos)
    throw std::runtime_error("ipmi_sim rejected '" + command + "': " + reply);
}
}  // namespace

void SimulatedBmcs::setSensorRaw(int i, int sensor_number, int raw) {
  if (sensor_number < 0 || sensor_number > 255 || raw < 0 || raw > 255)
    throw std::invalid_argument("sensor number and raw reading must be 0..255");
  const std::string command =
      "sensor_set_value 0x20 0 " + std::to_string(sensor_number) + " " + std::to_string(raw) + " 0";
  requireNoError(console(i, command), command);
}

void SimulatedBmcs::setMac(int i, uint64_t mac) {
  const std::string command = "oem_mac_set " + macText(mac);
  requireNoError(console(i, command), command);
  at(i).mac = mac;
}

uint64_t SimulatedBmcs::mac(int i) const { return at(i).mac; }

void SimulatedBmcs::setOemMode(int i, OemMode mode) {
  const std::string command = std::string("oem_mac_mode ") + modeWord(mode);
  requireNoError(console(i, command), command);
  at(i).mode = mode;
}

bool SimulatedBmcs::powered(int i) const {
  const std::string value = readFile(at(i).dir + "/power");
  return value.empty() || value[0] == '1';  // chassis_control: no file means on
}

void SimulatedBmcs::setPowered(int i, bool on) { writeFileAtomically(at(i).dir + "/power", on ? "1\n" : "0\n"); }

void SimulatedBmcs::stop(int i) { at(i).process.terminate(); }

void SimulatedBmcs::start(int i) {
  Controller& c = at(i);
  if (!c.process.running()) launch(c);
  waitUntilAnswering(c);
  reapply(c);
}

bool SimulatedBmcs::running(int i) const { return at(i).process.running(); }

// A restarted simulator comes up with the MAC and mode of its configuration.
void SimulatedBmcs::reapply(Controller& c) {
  if (c.mac != options_.mac + static_cast<uint64_t>(c.index)) setMac(c.index, c.mac);
  if (c.mode != OemMode::Normal) setOemMode(c.index, c.mode);
}

std::vector<std::string> SimulatedBmcs::freeipmiArgs(int i) const {
  return {"-h", address(i), "-u", options_.user, "-p", options_.password, "-a", "MD5", "-l", "ADMIN",
          "--driver-type=LAN", "--session-timeout=5000", "--retransmission-timeout=100"};
}

}  // namespace trl::test
