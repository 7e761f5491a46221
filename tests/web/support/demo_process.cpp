#include "tests/web/support/demo_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace web::test {

DemoProcess::DemoProcess(const std::string& program, const std::vector<std::string>& args, int stopSignal)
    : stopSignal_(stopSignal) {
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string line;
  while ((line = readLine(deadline)).find("listening ") == std::string::npos)
    if (std::chrono::steady_clock::now() >= deadline) throw std::runtime_error(program + " did not start listening");
  port_ = static_cast<unsigned short>(std::stoi(line.substr(line.find_last_not_of("0123456789") + 1)));
}

DemoProcess::~DemoProcess() {
  if (pid_ > 0) {
    if (stopSignal_)
      ::kill(pid_, stopSignal_);
    else
      command("quit");
    ::close(in_);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (drain_.joinable()) drain_.join();  // the pipe ended with the process
  if (out_ >= 0) ::close(out_);
}

void DemoProcess::discardOutput() {
  if (drain_.joinable()) return;
  drain_ = std::thread([fd = out_] {
    char buf[4096];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
  });
}

void DemoProcess::command(const std::string& line) {
  const std::string text = line + "\n";
  if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    // the demo ended; the caller's expectations will show it
  }
}

std::string DemoProcess::readLine(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return {};
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
}

std::string DemoProcess::expect(const std::string& prefix, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::string line = readLine(deadline);
    if (line.empty() && std::chrono::steady_clock::now() >= deadline) return {};
    if (line.rfind(prefix, 0) == 0) return line;
  }
}

std::string DemoProcess::expectContaining(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::string line = readLine(deadline);
    if (line.empty() && std::chrono::steady_clock::now() >= deadline) return {};
    if (line.find(text) != std::string::npos) return line;
  }
}

long DemoProcess::residentKb() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kb = 0;
      in >> kb;
      return kb;
    }
    std::getline(in, key);
  }
  return -1;
}

}  // namespace web::test
