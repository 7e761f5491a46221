// The demo server (or trellium) as a child process, driven through its
// standard input.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace web::test {

class DemoProcess {
 public:
  // Starts program with args and waits for the line that says where it
  // listens ("listening PORT", or trellium's "... listening on ADDRESS:PORT").
  // stopSignal: how it is asked to stop (0: the line "quit").
  DemoProcess(const std::string& program, const std::vector<std::string>& args, int stopSignal = 0);
  ~DemoProcess();  // asks it to stop, then SIGKILL if it does not end within 10 s
  DemoProcess(const DemoProcess&) = delete;
  DemoProcess& operator=(const DemoProcess&) = delete;

  unsigned short port() const { return port_; }
  pid_t pid() const { return pid_; }
  void command(const std::string& line);
  // The next output line starting with prefix (others skipped), or "" on time-out.
  std::string expect(const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The next output line that contains text anywhere, or "" on time-out.
  std::string expectContaining(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Resident memory in kB, from /proc.
  long residentKb() const;
  // Reads and drops all further output on a thread of its own, so that a
  // chatty process never blocks on a full pipe (expect() then finds nothing).
  void discardOutput();

 private:
  std::string readLine(std::chrono::steady_clock::time_point deadline);
  const int stopSignal_;
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffer_;
  unsigned short port_ = 0;
  std::thread drain_;
};

}  // namespace web::test
