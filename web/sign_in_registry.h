// The browsers signed in, each known by the random token of its sign-in
// cookie. A sign-in lasts while one of its pages is open and ends after the
// idle time-out without one (counted from the last page load or the last
// open page; other requests do not keep it), or at sign-out.
// Thread-safe: every member takes the registry's mutex.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace web {

class SignInRegistry {
 public:
  using Clock = std::chrono::steady_clock;

  // A new sign-in of user, over HTTPS (secure) or plain HTTP; its token
  // (128 random bits, 32 hex digits).
  std::string add(const std::string& user, bool secure, Clock::time_point now);
  // The user signed in with token over the same kind of connection; none
  // for an unknown or ended sign-in, or one made over the other kind.
  std::optional<std::string> find(const std::string& token, bool secure) const;
  // Marks the sign-in used now: a page of it was loaded.
  void touch(const std::string& token, Clock::time_point now);
  // Ends the sign-in; its user, or none if it had ended already.
  std::optional<std::string> remove(const std::string& token);
  // Ends the sign-ins that were not used for longer than idle, except those
  // in inUse (their pages are open); returns the tokens ended.
  std::vector<std::string> takeIdle(Clock::time_point now, Clock::duration idle, const std::set<std::string>& inUse);
  std::size_t size() const;

 private:
  struct Entry {
    std::string user;
    bool secure;
    Clock::time_point lastUse;
  };
  mutable std::mutex m_;
  // guarded by m_
  std::map<std::string, Entry> entries_;
};

// Slows down guessing: attempts from one client address wait longer after
// each failure (nothing for the first three, then 1 s, 2 s, 4 s ... up to
// 30 s); a success clears the count. The account itself is never locked:
// someone guessing elsewhere cannot keep its owner out. Attempts still
// running count as failures, so parallel guesses wait too.
// Thread-safe: every member takes the table's mutex.
class SignInBackOff {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned FreeFailures = 3;
  static constexpr std::chrono::seconds MaxDelay{30};
  static constexpr std::chrono::minutes Memory{15};  // failures are forgotten after this long
  static constexpr std::size_t MaxAddresses = 4096;

  // How long the attempt starting now must wait before it is checked.
  Clock::duration begin(const std::string& address, Clock::time_point now);
  void end(const std::string& address, bool succeeded, Clock::time_point now);
  // Forgets addresses quiet for longer than Memory.
  void forget(Clock::time_point now);
  std::size_t size() const;

 private:
  struct State {
    unsigned failures = 0;
    unsigned running = 0;
    Clock::time_point last;
  };
  mutable std::mutex m_;
  // guarded by m_
  std::map<std::string, State> addresses_;
};

}  // namespace web
