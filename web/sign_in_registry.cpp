#include "web/sign_in_registry.h"

#include <algorithm>

#include "web/session_id.h"

namespace web {

std::string SignInRegistry::add(const std::string& user, bool secure, Clock::time_point now) {
  std::string token = newSessionId();
  std::lock_guard<std::mutex> lk(m_);
  entries_[token] = Entry{user, secure, now};
  return token;
}

std::optional<std::string> SignInRegistry::find(const std::string& token, bool secure) const {
  std::lock_guard<std::mutex> lk(m_);
  const auto it = entries_.find(token);
  if (it == entries_.end() || it->second.secure != secure) return std::nullopt;
  return it->second.user;
}

void SignInRegistry::touch(const std::string& token, Clock::time_point now) {
  std::lock_guard<std::mutex> lk(m_);
  const auto it = entries_.find(token);
  if (it != entries_.end()) it->second.lastUse = now;
}

std::optional<std::string> SignInRegistry::remove(const std::string& token) {
  std::lock_guard<std::mutex> lk(m_);
  const auto it = entries_.find(token);
  if (it == entries_.end()) return std::nullopt;
  std::string user = std::move(it->second.user);
  entries_.erase(it);
  return user;
}

std::vector<std::string> SignInRegistry::takeIdle(Clock::time_point now, Clock::duration idle,
                                                  const std::set<std::string>& inUse) {
  std::vector<std::string> out;
  std::lock_guard<std::mutex> lk(m_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (inUse.count(it->first)) {
      it->second.lastUse = now;
      ++it;
    } else if (now - it->second.lastUse >= idle) {
      out.push_back(it->first);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  return out;
}

std::size_t SignInRegistry::size() const {
  std::lock_guard<std::mutex> lk(m_);
  return entries_.size();
}

SignInBackOff::Clock::duration SignInBackOff::begin(const std::string& address, Clock::time_point now) {
  std::lock_guard<std::mutex> lk(m_);
  if (addresses_.size() >= MaxAddresses && !addresses_.count(address)) {
    // A table full of quiet addresses makes room; one full of running
    // attempts (a flood from many addresses) makes the newcomer wait long.
    const auto quietest = std::min_element(addresses_.begin(), addresses_.end(), [](const auto& a, const auto& b) {
      return (a.second.running != 0) < (b.second.running != 0) ||
             ((a.second.running != 0) == (b.second.running != 0) && a.second.last < b.second.last);
    });
    if (quietest->second.running != 0) return MaxDelay;
    addresses_.erase(quietest);
  }
  State& s = addresses_[address];
  const unsigned count = s.failures + s.running;
  ++s.running;
  s.last = now;
  if (count < FreeFailures) return Clock::duration::zero();
  const unsigned doublings = std::min(count - FreeFailures, 5u);
  return std::min<Clock::duration>(std::chrono::seconds(1u << doublings), MaxDelay);
}

void SignInBackOff::end(const std::string& address, bool succeeded, Clock::time_point now) {
  std::lock_guard<std::mutex> lk(m_);
  const auto it = addresses_.find(address);
  if (it == addresses_.end()) return;
  State& s = it->second;
  if (s.running > 0) --s.running;
  s.last = now;
  if (succeeded)
    s.failures = 0;
  else
    ++s.failures;
  if (s.failures == 0 && s.running == 0) addresses_.erase(it);
}

void SignInBackOff::forget(Clock::time_point now) {
  std::lock_guard<std::mutex> lk(m_);
  for (auto it = addresses_.begin(); it != addresses_.end();) {
    if (it->second.running == 0 && now - it->second.last >= Memory)
      it = addresses_.erase(it);
    else
      ++it;
  }
}

std::size_t SignInBackOff::size() const {
  std::lock_guard<std::mutex> lk(m_);
  return addresses_.size();
}

}  // namespace web
