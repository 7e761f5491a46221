#include "web/session_registry.h"

#include <algorithm>
#include <map>

namespace web {

void SessionRegistry::add(std::shared_ptr<Session> session) {
  std::lock_guard<std::mutex> lk(m_);
  const std::string id = session->id();
  sessions_.emplace(id, std::move(session));
}

std::vector<std::shared_ptr<Session>> SessionRegistry::admit(std::shared_ptr<Session> session,
                                                             const SessionCaps& caps) {
  std::vector<std::shared_ptr<Session>> out;
  std::lock_guard<std::mutex> lk(m_);
  // The waiting sessions by address, oldest first.
  std::map<std::string, std::multimap<Session::Clock::time_point, std::string>> waiting;
  std::size_t total = 0;
  for (const auto& [id, s] : sessions_) {
    Session::Clock::time_point since;
    if (s->waiting(since)) {
      waiting[s->clientAddress()].emplace(since, id);
      ++total;
    }
  }
  const auto evictOldest = [&](const std::string& address) {
    auto& mine = waiting[address];
    const auto oldest = mine.begin();
    const auto it = sessions_.find(oldest->second);
    out.push_back(std::move(it->second));
    sessions_.erase(it);
    mine.erase(oldest);
    --total;
  };
  const std::string& address = session->clientAddress();
  while (!waiting[address].empty() && waiting[address].size() >= caps.waitingPerAddress) evictOldest(address);
  while (total > 0 && total >= caps.waiting) {
    const auto most = std::max_element(waiting.begin(), waiting.end(),
                                       [](const auto& a, const auto& b) { return a.second.size() < b.second.size(); });
    evictOldest(most->first);
  }
  const std::string id = session->id();
  sessions_.emplace(id, std::move(session));
  return out;
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

std::vector<std::shared_ptr<Session>> SessionRegistry::takeSignedIn(const std::string& token) {
  std::vector<std::shared_ptr<Session>> out;
  std::lock_guard<std::mutex> lk(m_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it->second->belongsTo(token)) {
      out.push_back(std::move(it->second));
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

std::set<std::string> SessionRegistry::connectedSignIns() const {
  std::set<std::string> out;
  std::lock_guard<std::mutex> lk(m_);
  for (const auto& [id, s] : sessions_)
    if (!s->signIn().empty() && s->connected()) out.insert(s->signIn());
  return out;
}

std::size_t SessionRegistry::size() const {
  std::lock_guard<std::mutex> lk(m_);
  return sessions_.size();
}

}  // namespace web
