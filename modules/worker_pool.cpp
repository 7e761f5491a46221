#include "modules/worker_pool.h"

#include <algorithm>
#include <map>

namespace trl {

struct WorkerPool::Batch {
  Batch(const std::function<void(size_t)>& j, size_t n) : job(&j), count(n) {}
  explicit Batch(std::function<void()> task)
      : owned([task = std::move(task)](size_t) { task(); }), job(&owned), count(1), posted(true) {}
  const std::function<void(size_t)> owned;  // a posted task
  const std::function<void(size_t)>* job;
  size_t count;
  size_t next = 0;     // the next job to start
  size_t running = 0;  // jobs started and not yet ended
  std::exception_ptr error;
  std::condition_variable finished;
  const bool posted = false;  // nobody waits: the pool lets go of it when it ends
};

WorkerPool::WorkerPool(unsigned workers) {
  threads_.reserve(workers);
  try {
    for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  } catch (...) {
    stopAll();
    throw;
  }
}

WorkerPool::~WorkerPool() { stopAll(); }

void WorkerPool::stopAll() {
  {
    const std::lock_guard<std::mutex> guard(mutex_);
    stop_ = true;
    batches_.erase(std::remove_if(batches_.begin(), batches_.end(), [](const Batch* b) { return b->posted; }),
                   batches_.end());
  }
  wake_.notify_all();
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
  threads_.clear();
  posted_.clear();
}

void WorkerPool::drain(Batch& batch, std::unique_lock<std::mutex>& lock) {
  while (batch.next < batch.count) {
    const size_t index = batch.next++;
    if (batch.next == batch.count) {
      const auto queued = std::find(batches_.begin(), batches_.end(), &batch);
      if (queued != batches_.end()) batches_.erase(queued);
    }
    ++batch.running;
    lock.unlock();
    std::exception_ptr error;
    try {
      (*batch.job)(index);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error && !batch.error) batch.error = error;
    if (--batch.running != 0 || batch.next != batch.count) continue;
    if (!batch.posted) {
      batch.finished.notify_all();
      continue;
    }
    // The batch's one task has ended, and with it the batch.
    posted_.remove_if([&batch](const std::unique_ptr<Batch>& b) { return b.get() == &batch; });
    return;
  }
}

void WorkerPool::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !batches_.empty(); });
    if (batches_.empty()) return;  // stopping, and nothing left to start
    drain(*batches_.front(), lock);
  }
}

void WorkerPool::run(size_t count, const std::function<void(size_t)>& job) {
  if (count == 0) return;
  Batch batch(job, count);
  std::unique_lock<std::mutex> lock(mutex_);
  if (!threads_.empty()) {
    batches_.push_back(&batch);
    wake_.notify_all();
  }
  drain(batch, lock);
  batch.finished.wait(lock, [&batch] { return batch.running == 0; });
  if (batch.error) std::rethrow_exception(batch.error);
}

void WorkerPool::post(std::function<void()> task) {
  if (threads_.empty()) {
    try {
      task();
    } catch (...) {
    }
    return;
  }
  const std::lock_guard<std::mutex> guard(mutex_);
  posted_.push_back(std::make_unique<Batch>(std::move(task)));
  batches_.push_back(posted_.back().get());
  wake_.notify_one();
}

std::vector<std::vector<size_t>> jobsByKey(const std::vector<std::string>& keys) {
  std::map<std::string, size_t> job_of;
  std::vector<std::vector<size_t>> jobs;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i].empty()) continue;
    const auto found = job_of.emplace(keys[i], jobs.size());
    if (found.second) jobs.emplace_back();
    jobs[found.first->second].push_back(i);
  }
  return jobs;
}

}  // namespace trl
