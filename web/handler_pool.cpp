#include "web/handler_pool.h"

#include <iostream>

namespace web {

namespace {
thread_local HandlerPool* currentPool = nullptr;
}

HandlerPool::HandlerPool(unsigned minThreads, unsigned maxThreads, std::chrono::milliseconds idleExit)
    : min_(minThreads ? minThreads : 1), max_(maxThreads < min_ ? min_ : maxThreads), idleExit_(idleExit) {}

HandlerPool::~HandlerPool() { stop(); }

HandlerPool* HandlerPool::current() { return currentPool; }

void HandlerPool::post(std::function<void()> job) {
  std::unique_lock<std::mutex> lk(m_);
  if (stopping_) return;
  jobs_.push_back(std::move(job));
  spawnIfNeeded(lk);
  cv_.notify_one();
}

void HandlerPool::spawnIfNeeded(std::unique_lock<std::mutex>& lk) {
  reap(lk);
  const unsigned working = static_cast<unsigned>(threads_.size()) - blocked_;
  if (jobs_.empty() || idle_ > 0 || threads_.size() >= max_) return;
  if (working >= min_) return;
  std::thread t([this] { worker(); });
  const auto id = t.get_id();
  threads_.emplace(id, std::move(t));
}

void HandlerPool::reap(std::unique_lock<std::mutex>&) {
  for (const auto id : finished_) {
    const auto it = threads_.find(id);
    if (it == threads_.end()) continue;
    it->second.join();  // it has left worker() already
    threads_.erase(it);
  }
  finished_.clear();
}

void HandlerPool::worker() {
  currentPool = this;
  std::unique_lock<std::mutex> lk(m_);
  for (;;) {
    ++idle_;
    const bool woke = cv_.wait_for(lk, idleExit_, [&] { return stopping_ || !jobs_.empty(); });
    --idle_;
    if (jobs_.empty()) {
      const bool surplus = threads_.size() - finished_.size() - blocked_ > min_;
      if (stopping_ || (!woke && surplus)) {
        finished_.push_back(std::this_thread::get_id());
        return;
      }
      continue;
    }
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lk.unlock();
    try {
      job();
    } catch (const std::exception& e) {
      std::cerr << "[web] handler job failed: " << e.what() << std::endl;
    } catch (...) {
      std::cerr << "[web] handler job failed" << std::endl;
    }
    lk.lock();
  }
}

void HandlerPool::stop() {
  std::unique_lock<std::mutex> lk(m_);
  if (stopping_ && threads_.empty()) return;
  // Queued jobs still run (teardowns among them); then the threads leave.
  while (!jobs_.empty() && !threads_.empty()) {
    lk.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    lk.lock();
  }
  stopping_ = true;
  cv_.notify_all();
  std::map<std::thread::id, std::thread> all;
  all.swap(threads_);
  finished_.clear();
  lk.unlock();
  for (auto& [id, t] : all)
    if (t.joinable() && id != std::this_thread::get_id()) t.join();
}

std::size_t HandlerPool::threadCount() const {
  std::lock_guard<std::mutex> lk(m_);
  return threads_.size() - finished_.size();
}

HandlerPool::Blocking::Blocking() : pool_(currentPool) {
  if (!pool_) return;
  std::unique_lock<std::mutex> lk(pool_->m_);
  ++pool_->blocked_;
  pool_->spawnIfNeeded(lk);
}

HandlerPool::Blocking::~Blocking() {
  if (!pool_) return;
  std::lock_guard<std::mutex> lk(pool_->m_);
  --pool_->blocked_;
}

}  // namespace web
