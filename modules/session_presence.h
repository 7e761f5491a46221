// Whether at least one browser session is open. The polling and history
// threads do no IPMI work while nobody watches. The web shell installs the
// answer from its session list; tests install their own.
#pragma once

#include <functional>

class SessionPresence {
 public:
  // Installs the question; an empty function means "no session open".
  static void set(std::function<bool()> any_open);
  static bool anyOpen();
};
