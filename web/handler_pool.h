// The threads that run event handlers, apart from the socket threads. A
// handler that waits for a person (a modal dialog, a progress sleep) says so,
// and the pool starts another thread while it waits, so other sessions go on;
// threads beyond the minimum end after a while without work.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace web {

class HandlerPool {
 public:
  explicit HandlerPool(unsigned minThreads, unsigned maxThreads = 64,
                       std::chrono::milliseconds idleExit = std::chrono::seconds(30));
  ~HandlerPool();
  HandlerPool(const HandlerPool&) = delete;
  HandlerPool& operator=(const HandlerPool&) = delete;

  void post(std::function<void()> job);
  // Finishes the queued jobs, then joins every thread.
  void stop();
  std::size_t threadCount() const;

  // The pool whose thread is running this code, or null.
  static HandlerPool* current();

  // Marks the current pool thread as waiting for a person for a scope.
  class Blocking {
   public:
    Blocking();
    ~Blocking();
    Blocking(const Blocking&) = delete;
    Blocking& operator=(const Blocking&) = delete;

   private:
    HandlerPool* pool_;
  };

 private:
  void worker();
  void spawnIfNeeded(std::unique_lock<std::mutex>& lk);
  void reap(std::unique_lock<std::mutex>& lk);

  const unsigned min_, max_;
  const std::chrono::milliseconds idleExit_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  std::map<std::thread::id, std::thread> threads_;
  std::vector<std::thread::id> finished_;
  unsigned idle_ = 0;
  unsigned blocked_ = 0;
  bool stopping_ = false;
};

}  // namespace web
