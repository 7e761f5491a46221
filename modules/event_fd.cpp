#include "modules/event_fd.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "modules/error.h"
#include "modules/module.h"

namespace trl {

EventFd::EventFd(const Texts& texts) : texts_(texts) {
  const int fd = ::eventfd(0, EFD_SEMAPHORE | EFD_CLOEXEC);
  if (fd < 0) throw TRL_SYSERROR(texts_.create_error);
  fd_ = UniqueFd(fd, texts_.close_warning);
}

void EventFd::signal() {
  const uint64_t value = Module::triggered;
  ssize_t n;
  do {
    n = ::write(fd_.get(), &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof value)) throw TRL_SYSERROR(texts_.write_error);
}

uint64_t EventFd::consume() {
  uint64_t value = 0;
  ssize_t n;
  do {
    n = ::read(fd_.get(), &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof value)) throw TRL_SYSERROR(texts_.read_error);
  return value;
}

}  // namespace trl
