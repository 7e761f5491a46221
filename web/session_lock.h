// The lock that guards one session's widgets. Unlike a mutex it can be told
// that its session is going away: from then on lock() fails instead of
// waiting, so code delivering back-end events never waits on a session in
// teardown. It nests for the thread that holds it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace web {

class SessionLock {
 public:
  // Waits for the lock; false when the session is (or becomes) dying.
  bool lock();
  // Waits for the lock even when dying: for teardown, and for a handler
  // taking back the lock it gave up while it waited for a person.
  void lockAlways();
  void unlock();
  // For waits inside a handler: gives up every level this thread holds and
  // returns their number; restore() takes the lock back at that depth.
  int releaseAll();
  void restore(int depth);

  void markDying();
  bool dying() const;
  bool heldByThisThread() const;

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::thread::id owner_;
  int depth_ = 0;
  bool dying_ = false;
};

// Holds a SessionLock level for a scope (for code that already knows the
// lock can be had, e.g. teardown).
class SessionLockGuard {
 public:
  explicit SessionLockGuard(SessionLock& lock) : lock_(lock) { lock_.lockAlways(); }
  ~SessionLockGuard() { lock_.unlock(); }
  SessionLockGuard(const SessionLockGuard&) = delete;
  SessionLockGuard& operator=(const SessionLockGuard&) = delete;

 private:
  SessionLock& lock_;
};

}  // namespace web
