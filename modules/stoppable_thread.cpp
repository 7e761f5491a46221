#include "modules/stoppable_thread.h"

#include <system_error>

#include "modules/error.h"

namespace trl {

StoppableThread::~StoppableThread() {
  try {
    stop();
  } catch (const std::system_error& e) {
    TRL_WARN(std::string("failed to join thread: ") + e.what());
  }
}

void StoppableThread::start(std::function<void()> body, const char* start_error) {
  if (thread_.joinable()) return;
  try {
    thread_ = std::thread(std::move(body));
  } catch (const std::system_error& e) {
    errno = e.code().value();
    throw TRL_SYSERROR(start_error);
  }
}

void StoppableThread::stop() {
  {
    const std::lock_guard<std::mutex> guard(mutex_);
    stop_ = true;
  }
  signal_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool StoppableThread::sleepFor(std::chrono::steady_clock::duration how_long) {
  std::unique_lock<std::mutex> guard(mutex_);
  signal_.wait_for(guard, how_long, [this] { return stop_ || woken_; });
  woken_ = false;
  return !stop_;
}

bool StoppableThread::stopping() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  return stop_;
}

void StoppableThread::wake() {
  {
    const std::lock_guard<std::mutex> guard(mutex_);
    woken_ = true;
  }
  signal_.notify_all();
}

}  // namespace trl
