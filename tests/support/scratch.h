// Test helpers: a scratch system root, captured standard output, files.
#pragma once

#include <chrono>
#include <exception>
#include <string>
#include <thread>

namespace trl::test {

// A fresh directory under $TMPDIR, removed with everything in it at the end.
// While alive it is the system root, so fixed paths land inside it.
class ScratchRoot {
 public:
  ScratchRoot();
  ~ScratchRoot();
  ScratchRoot(const ScratchRoot&) = delete;
  ScratchRoot& operator=(const ScratchRoot&) = delete;
  const std::string& dir() const { return dir_; }
  // Creates the directory DIR under the root (like mkdir -p).
  std::string mkdir(const std::string& fixed) const;

 private:
  std::string dir_;
};

// Everything written to standard output (by this process) between
// construction and text().
class CaptureStdout {
 public:
  CaptureStdout();
  ~CaptureStdout();
  std::string text();

 private:
  int saved_ = -1;
  std::string file_;
  bool done_ = false;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
long fileSize(const std::string& path);  // -1 when missing

// The message of the E that f throws; "" when it throws none.
template <typename E = std::exception, typename F>
std::string errorOf(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "";
}

// Polls a condition every few milliseconds; tests never wait without a bound.
template <typename F>
bool eventually(F f, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (f()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return f();
}

inline bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace trl::test
