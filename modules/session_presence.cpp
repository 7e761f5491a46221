#include "modules/session_presence.h"

#include <mutex>

namespace {
std::mutex& presenceMutex() {
  static std::mutex m;
  return m;
}
std::function<bool()>& presence() {
  static std::function<bool()> f;
  return f;
}
}  // namespace

void SessionPresence::set(std::function<bool()> any_open) {
  const std::lock_guard<std::mutex> guard(presenceMutex());
  presence() = std::move(any_open);
}

bool SessionPresence::anyOpen() {
  std::function<bool()> f;
  {
    const std::lock_guard<std::mutex> guard(presenceMutex());
    f = presence();
  }
  return f && f();
}
