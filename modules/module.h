// Back-end modules announce changes on Linux event descriptors; the main
// loop hands each readable descriptor back to the module that owns it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef int efd;

// A descriptor a module wants watched, with a name for log lines. Does not
// own the descriptor: the module that created it closes it.
struct Eventfd {
  efd fd;
  std::string name;
  Eventfd(efd f, const std::string& n) : fd(f), name(n) {}
};

class Module {
 public:
  // The value a producer writes to an eventfd to signal one event.
  static constexpr uint64_t triggered = 1;

  virtual std::string moduleName() const = 0;
  virtual std::vector<Eventfd> eventfds() const = 0;
  // Consumes the event on fd; true when browser sessions must be told.
  virtual bool changed(int fd) = 0;
  virtual void reset() = 0;

 protected:
  ~Module() = default;
};
