#include "web/session_lock.h"

namespace web {

bool SessionLock::lock() {
  std::unique_lock<std::mutex> lk(m_);
  const auto me = std::this_thread::get_id();
  if (depth_ > 0 && owner_ == me) {
    ++depth_;
    return true;
  }
  cv_.wait(lk, [&] { return depth_ == 0 || dying_; });
  if (dying_) return false;
  owner_ = me;
  depth_ = 1;
  return true;
}

void SessionLock::lockAlways() {
  std::unique_lock<std::mutex> lk(m_);
  const auto me = std::this_thread::get_id();
  if (depth_ > 0 && owner_ == me) {
    ++depth_;
    return;
  }
  cv_.wait(lk, [&] { return depth_ == 0; });
  owner_ = me;
  depth_ = 1;
}

void SessionLock::unlock() {
  {
    std::lock_guard<std::mutex> lk(m_);
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) return;
    if (--depth_ > 0) return;
    owner_ = {};
  }
  cv_.notify_all();
}

int SessionLock::releaseAll() {
  int depth;
  {
    std::lock_guard<std::mutex> lk(m_);
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) return 0;
    depth = depth_;
    depth_ = 0;
    owner_ = {};
  }
  cv_.notify_all();
  return depth;
}

void SessionLock::restore(int depth) {
  if (depth <= 0) return;
  std::unique_lock<std::mutex> lk(m_);
  cv_.wait(lk, [&] { return depth_ == 0; });
  owner_ = std::this_thread::get_id();
  depth_ = depth;
}

void SessionLock::markDying() {
  {
    std::lock_guard<std::mutex> lk(m_);
    dying_ = true;
  }
  cv_.notify_all();
}

bool SessionLock::dying() const {
  std::lock_guard<std::mutex> lk(m_);
  return dying_;
}

bool SessionLock::heldByThisThread() const {
  std::lock_guard<std::mutex> lk(m_);
  return depth_ > 0 && owner_ == std::this_thread::get_id();
}

}  // namespace web
