#include "web/connection_limits.h"

namespace web {

namespace {
std::size_t slot(ConnectionLimits::Kind kind) { return static_cast<std::size_t>(kind); }
}  // namespace

ConnectionLimits::Place::~Place() { table_.release(id_); }

void ConnectionLimits::Place::setIdle(bool idle) { table_.setIdle(id_, idle); }

bool ConnectionLimits::Place::onEvict(Evict evict) { return table_.setEvict(id_, std::move(evict)); }

void ConnectionLimits::setCaps(const ConnectionCaps& caps) {
  std::lock_guard<std::mutex> lk(mutex_);
  caps_ = caps;
}

ConnectionCaps ConnectionLimits::caps() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return caps_;
}

ConnectionLimits::Decision ConnectionLimits::decide(Kind kind, const std::string& address) const {
  const auto countOf = [&](const std::string& a) {
    const auto it = perAddress_.find(a);
    return it == perAddress_.end() ? std::size_t{0} : it->second[slot(kind)];
  };
  const bool http = kind == Kind::Http;
  const std::size_t mine = countOf(address);
  const std::size_t perAddressCap = http ? caps_.connectionsPerAddress : caps_.socketsPerAddress;
  const std::size_t cap = http ? caps_.connections : caps_.sockets;
  Decision d;
  const auto evict = [&d](std::map<std::uint64_t, Entry>::const_iterator victim) {
    d.admit = d.evicts = true;
    d.victim = victim;
  };
  if (mine >= perAddressCap) {
    // An address at its cap makes room only from its own idle connections.
    if (!http) return d;
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
      if (it->second.kind == kind && it->second.idle && it->second.address == address) {
        evict(it);
        break;
      }
    return d;
  }
  if (total_[slot(kind)] < cap) {
    d.admit = true;
    return d;
  }
  // Full. Entries are in age order, so the first one found of a count is the
  // oldest of its address.
  auto best = entries_.end();
  std::size_t bestCount = 0;
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->second.kind != kind || (http && !it->second.idle)) continue;
    const std::size_t c = countOf(it->second.address);
    if (best == entries_.end() || c > bestCount) {
      best = it;
      bestCount = c;
    }
  }
  if (best == entries_.end()) return d;
  // An idle HTTP connection costs its client nothing but a new handshake; a
  // live page's socket is taken only to share the places more fairly.
  if (http || bestCount >= mine + 2) evict(best);
  return d;
}

std::unique_ptr<ConnectionLimits::Place> ConnectionLimits::admit(Kind kind, const std::string& address) {
  Evict victimEvict;
  std::uint64_t id = 0;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    const Decision d = decide(kind, address);
    if (!d.admit) return nullptr;
    if (d.evicts) {
      victimEvict = std::move(entries_.find(d.victim->first)->second.evict);
      remove(d.victim);
    }
    id = ++nextId_;
    entries_.emplace(id, Entry{kind, address, false, {}});
    ++perAddress_[address][slot(kind)];
    ++total_[slot(kind)];
  }
  if (victimEvict) victimEvict();
  return std::unique_ptr<Place>(new Place(*this, id, address));
}

bool ConnectionLimits::wouldAdmit(Kind kind, const std::string& address) const {
  std::lock_guard<std::mutex> lk(mutex_);
  return decide(kind, address).admit;
}

void ConnectionLimits::remove(std::map<std::uint64_t, Entry>::const_iterator it) {
  const auto a = perAddress_.find(it->second.address);
  const std::size_t s = slot(it->second.kind);
  --a->second[s];
  if (a->second[0] == 0 && a->second[1] == 0) perAddress_.erase(a);
  --total_[s];
  entries_.erase(it);
}

void ConnectionLimits::release(std::uint64_t id) {
  Evict dropped;  // destroyed outside the lock: it may hold the last reference to a connection
  std::lock_guard<std::mutex> lk(mutex_);
  const auto it = entries_.find(id);
  if (it == entries_.end()) return;  // evicted earlier
  dropped = std::move(it->second.evict);
  remove(it);
}

void ConnectionLimits::setIdle(std::uint64_t id, bool idle) {
  std::lock_guard<std::mutex> lk(mutex_);
  const auto it = entries_.find(id);
  if (it != entries_.end()) it->second.idle = idle;
}

bool ConnectionLimits::setEvict(std::uint64_t id, Evict evict) {
  std::lock_guard<std::mutex> lk(mutex_);
  const auto it = entries_.find(id);
  if (it == entries_.end()) return false;
  it->second.evict = std::move(evict);
  return true;
}

std::size_t ConnectionLimits::count(Kind kind) const {
  std::lock_guard<std::mutex> lk(mutex_);
  return total_[slot(kind)];
}

std::size_t ConnectionLimits::count(Kind kind, const std::string& address) const {
  std::lock_guard<std::mutex> lk(mutex_);
  const auto it = perAddress_.find(address);
  return it == perAddress_.end() ? 0 : it->second[slot(kind)];
}

}  // namespace web
