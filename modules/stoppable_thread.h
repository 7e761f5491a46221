// A thread whose sleeps end the moment it is told to stop, so a stop never
// waits out a polling interval. start(), stop() and wake() may be called
// from any thread; sleepFor() and stopping() by the thread itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace trl {

class StoppableThread {
 public:
  StoppableThread() = default;
  ~StoppableThread();  // stops and joins; a failure to join is only a warning
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;

  // Runs body on a new thread; a failure to create it throws _SysError
  // with start_error. A thread that was stopped once cannot start again.
  void start(std::function<void()> body, const char* start_error);
  // Asks the thread to stop, ends its sleep and joins it. Throws
  // std::system_error when the join fails.
  void stop();
  bool running() const { return thread_.joinable(); }

  // Sleeps for how_long, or until stop() or wake(); false once stopping.
  bool sleepFor(std::chrono::steady_clock::duration how_long);
  bool stopping() const;
  // Ends the current (or next) sleep early without stopping.
  void wake();

 private:
  mutable std::mutex mutex_;
  std::condition_variable signal_;
  // guarded by mutex_
  bool stop_ = false;
  bool woken_ = false;
  std::thread thread_;
};

}  // namespace trl
