#include "tests/support/scratch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "modules/paths.h"

namespace fs = std::filesystem;

namespace trl::test {

ScratchRoot::ScratchRoot() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp ? tmp : "/tmp") + "/trl-root-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  setSysroot(dir_);
}

ScratchRoot::~ScratchRoot() {
  setSysroot("");
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::string ScratchRoot::mkdir(const std::string& fixed) const {
  const std::string path = dir_ + fixed;
  fs::create_directories(path);
  return path;
}

CaptureStdout::CaptureStdout() {
  std::cout.flush();
  fflush(stdout);
  char name[] = "/tmp/trl-stdout-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  file_ = name;
  saved_ = fcntl(1, F_DUPFD_CLOEXEC, 3);
  dup2(fd, 1);
  close(fd);
}

std::string CaptureStdout::text() {
  if (!done_) {
    std::cout.flush();
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    done_ = true;
  }
  return readFile(file_);
}

CaptureStdout::~CaptureStdout() {
  text();
  unlink(file_.c_str());
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

}  // namespace trl::test
