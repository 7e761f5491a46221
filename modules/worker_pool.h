// A fixed set of threads that run batches of independent jobs, so that slow
// network work (one IPMI conversation per controller) overlaps instead of
// queueing. run() hands one batch's jobs to the workers, helps with them on
// the calling thread and returns when every job has ended; post() hands
// one task over and returns at once.
// Thread-safe: run() and post() may be called from several threads at once;
// work is served in the order it arrives.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trl {

class WorkerPool {
 public:
  // workers threads; 0 runs every job on the calling thread.
  explicit WorkerPool(unsigned workers);
  ~WorkerPool();  // drops posted tasks not yet started, lets running work end, joins
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  unsigned size() const { return static_cast<unsigned>(threads_.size()); }

  // Calls job(0) ... job(count - 1), each once, on the workers and on the
  // calling thread. When jobs throw, the first exception is rethrown here
  // after all jobs have ended.
  void run(size_t count, const std::function<void(size_t)>& job);
  // Runs task on a worker (on the calling thread when there are none). The
  // task handles its own errors: whatever it throws is dropped.
  void post(std::function<void()> task);

 private:
  struct Batch;
  void work();
  void stopAll();
  // Runs jobs of batch until none is left to start; takes and returns
  // with lock held.
  void drain(Batch& batch, std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable wake_;
  // guarded by mutex_
  std::deque<Batch*> batches_;  // batches with jobs not yet started
  std::list<std::unique_ptr<Batch>> posted_;  // posted tasks not yet ended
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// Jobs for WorkerPool::run(): the indexes of keys grouped by equal key, in
// order of first appearance; an empty key gets no job. Work that must not
// overlap (requests to one controller) shares a key.
std::vector<std::vector<size_t>> jobsByKey(const std::vector<std::string>& keys);

}  // namespace trl
