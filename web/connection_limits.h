// Who may hold a connection. Plain HTTP connections and the WebSockets of
// live pages are counted apart, each with a total and a per-address cap, so
// that one client (or a few) cannot take every place and lock the others
// out. When HTTP is full, a connection waiting idle for its next request
// gives up its place first, taken from the address that holds the most;
// a WebSocket gives up its place only to an address that holds far fewer.
// Thread-safe: every member takes the table's mutex; eviction callbacks run
// after it is released.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace web {

struct ConnectionCaps {
  std::size_t connections = 40;  // plain HTTP connections in all
  std::size_t connectionsPerAddress = 10;
  std::size_t sockets = 24;  // WebSockets of live pages in all
  std::size_t socketsPerAddress = 8;
};

class ConnectionLimits {
 public:
  enum class Kind { Http = 0, Socket = 1 };
  // Called (once, on the admitting thread) when a connection loses its place
  // to a newcomer: it must close soon; it is no longer counted.
  using Evict = std::function<void()>;

  // A connection's place; given back when destroyed. Must not outlive the table.
  class Place {
   public:
    ~Place();
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    // How the connection is told that it lost its place. False when it has
    // lost it already: then it must close at once.
    bool onEvict(Evict evict);
    // An HTTP connection waiting for its next request may be evicted.
    void setIdle(bool idle);
    const std::string& address() const { return address_; }

   private:
    friend class ConnectionLimits;
    Place(ConnectionLimits& table, std::uint64_t id, std::string address)
        : table_(table), id_(id), address_(std::move(address)) {}
    ConnectionLimits& table_;
    const std::uint64_t id_;
    const std::string address_;
  };

  explicit ConnectionLimits(ConnectionCaps caps = {}) : caps_(caps) {}
  void setCaps(const ConnectionCaps& caps);
  ConnectionCaps caps() const;

  // A place for a new connection from address, or null when there is none;
  // to make room another connection may be evicted.
  std::unique_ptr<Place> admit(Kind kind, const std::string& address);
  // Whether admit would give a place now (evicting nobody yet).
  bool wouldAdmit(Kind kind, const std::string& address) const;

  std::size_t count(Kind kind) const;
  std::size_t count(Kind kind, const std::string& address) const;

 private:
  struct Entry {
    Kind kind;
    std::string address;
    bool idle = false;
    Evict evict;
  };
  // The decision for a newcomer: admit (maybe after evicting victim), or not.
  struct Decision {
    bool admit = false;
    std::map<std::uint64_t, Entry>::const_iterator victim;
    bool evicts = false;
  };
  Decision decide(Kind kind, const std::string& address) const;  // under mutex_
  void release(std::uint64_t id);
  void setIdle(std::uint64_t id, bool idle);
  bool setEvict(std::uint64_t id, Evict evict);
  void remove(std::map<std::uint64_t, Entry>::const_iterator it);  // under mutex_

  mutable std::mutex mutex_;
  // guarded by mutex_
  ConnectionCaps caps_;
  std::map<std::uint64_t, Entry> entries_;  // by id: oldest first
  std::map<std::string, std::array<std::size_t, 2>> perAddress_;
  std::array<std::size_t, 2> total_{};
  std::uint64_t nextId_ = 0;
};

}  // namespace web
