// The demo server as a child process, driven through its standard input.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace web::test {

class DemoProcess {
 public:
  // Starts program with args and waits for its "listening PORT" line.
  DemoProcess(const std::string& program, const std::vector<std::string>& args);
  ~DemoProcess();  // "quit", then SIGKILL if it does not end within 10 s
  DemoProcess(const DemoProcess&) = delete;
  DemoProcess& operator=(const DemoProcess&) = delete;

  unsigned short port() const { return port_; }
  pid_t pid() const { return pid_; }
  void command(const std::string& line);
  // The next output line starting with prefix (others skipped), or "" on time-out.
  std::string expect(const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Resident memory in kB, from /proc.
  long residentKb() const;

 private:
  std::string readLine(std::chrono::steady_clock::time_point deadline);
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffer_;
  unsigned short port_ = 0;
};

}  // namespace web::test
