// One owner per descriptor: UniqueFd closes what it holds when it goes, and
// a failed close is only a warning (the descriptor is gone either way).
// Not thread-safe: an owner is used by one thread at a time.
#pragma once

#include <unistd.h>

#include <string>
#include <utility>

#include "modules/error.h"

namespace trl {

class UniqueFd {
 public:
  UniqueFd() = default;
  // close_warning is the text of the warning a failed close writes.
  explicit UniqueFd(int fd, std::string close_warning = "close failed")
      : fd_(fd), close_warning_(std::move(close_warning)) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), close_warning_(std::move(other.close_warning_)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
      close_warning_ = std::move(other.close_warning_);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor now (if any).
  void reset() {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0) TRL_SYSWARN(close_warning_);
  }
  // Closes it now where a failed close is an error: throws _SysError with
  // error. Linux releases the number either way.
  void close(const char* error) {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0) throw TRL_SYSERROR(error);
  }

 private:
  int fd_ = -1;
  std::string close_warning_ = "close failed";
};

}  // namespace trl
