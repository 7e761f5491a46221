// An eventfd in semaphore mode, the way back-end modules signal the event
// loop: every signal() adds one pending event, every consume() takes one.
// signal() may be called from any thread; consume() from the thread that
// services the descriptor. The texts are those of the module that owns it.
#pragma once

#include <cstdint>
#include <string>

#include "modules/unique_fd.h"

namespace trl {

class EventFd {
 public:
  struct Texts {
    const char* create_error;  // eventfd() failed
    const char* write_error;   // a failed or short write
    const char* read_error;    // a failed or short read
    const char* close_warning;
  };

  explicit EventFd(const Texts& texts);

  int fd() const { return fd_.get(); }
  // Adds one event (the value Module::triggered); retries on EINTR.
  void signal();
  // Takes one event and returns the value read (1 for a well-formed one);
  // retries on EINTR.
  uint64_t consume();
  // Closes the descriptor now; fd() is -1 afterwards.
  void close() { fd_.reset(); }

 private:
  Texts texts_;
  UniqueFd fd_;
};

}  // namespace trl
