// The live sessions of one server, by id.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "web/session.h"

namespace web {

class SessionRegistry {
 public:
  void add(std::shared_ptr<Session> session);
  std::shared_ptr<Session> find(const std::string& id) const;
  std::shared_ptr<Session> remove(const std::string& id);
  // Removes and returns the sessions without a page for longer than grace.
  std::vector<std::shared_ptr<Session>> takeExpired(Session::Clock::time_point now, Session::Clock::duration grace);
  std::vector<std::shared_ptr<Session>> takeAll();
  std::size_t size() const;

 private:
  mutable std::mutex m_;
  std::unordered_map<std::string, std::shared_ptr<Session>> sessions_;
};

}  // namespace web
