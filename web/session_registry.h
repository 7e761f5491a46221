// The live sessions of one server, by id. Sessions waiting for their page
// (a page load whose socket has not come, or a page that lost it) are capped
// per client address and in total: every page load builds a whole
// application, and loads nobody follows up must not pile up.
// Thread-safe: every member takes the registry's mutex.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "web/session.h"

namespace web {

struct SessionCaps {
  std::size_t waiting = 32;  // sessions without their page's socket, in all
  std::size_t waitingPerAddress = 8;
};

class SessionRegistry {
 public:
  void add(std::shared_ptr<Session> session);
  // Adds a new session. Waiting sessions beyond the caps make room, the
  // oldest of the newcomer's address first, then the oldest of the address
  // that holds the most; they are removed and returned for teardown.
  std::vector<std::shared_ptr<Session>> admit(std::shared_ptr<Session> session, const SessionCaps& caps);
  std::shared_ptr<Session> find(const std::string& id) const;
  std::shared_ptr<Session> remove(const std::string& id);
  // Removes and returns the sessions without a page for longer than grace.
  std::vector<std::shared_ptr<Session>> takeExpired(Session::Clock::time_point now, Session::Clock::duration grace);
  std::vector<std::shared_ptr<Session>> takeAll();
  // Removes and returns the sessions of a sign-in (its cookie's token).
  std::vector<std::shared_ptr<Session>> takeSignedIn(const std::string& token);
  // The sign-ins with a page connected now.
  std::set<std::string> connectedSignIns() const;
  std::size_t size() const;

 private:
  mutable std::mutex m_;
  // guarded by m_
  std::unordered_map<std::string, std::shared_ptr<Session>> sessions_;
};

}  // namespace web
