#include "web/session_registry.h"

namespace web {

void SessionRegistry::add(std::shared_ptr<Session> session) {
  std::lock_guard<std::mutex> lk(m_);
  const std::string id = session->id();
  sessions_.emplace(id, std::move(session));
}

std::shared_ptr<Session> SessionRegistry::find(const std::string& id) const {
  std::lock_guard<std::mutex> lk(m_);
  const auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : it->second;
}

std::shared_ptr<Session> SessionRegistry::remove(const std::string& id) {
  std::lock_guard<std::mutex> lk(m_);
  const auto it = sessions_.find(id);
  if (it == sessions_.end()) return nullptr;
  std::shared_ptr<Session> s = std::move(it->second);
  sessions_.erase(it);
  return s;
}

std::vector<std::shared_ptr<Session>> SessionRegistry::takeExpired(Session::Clock::time_point now,
                                                                   Session::Clock::duration grace) {
  std::vector<std::shared_ptr<Session>> out;
  std::lock_guard<std::mutex> lk(m_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it->second->expired(now, grace)) {
      out.push_back(std::move(it->second));
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

std::vector<std::shared_ptr<Session>> SessionRegistry::takeAll() {
  std::vector<std::shared_ptr<Session>> out;
  std::lock_guard<std::mutex> lk(m_);
  for (auto& [id, s] : sessions_) out.push_back(std::move(s));
  sessions_.clear();
  return out;
}

std::size_t SessionRegistry::size() const {
  std::lock_guard<std::mutex> lk(m_);
  return sessions_.size();
}

}  // namespace web
