// The worker pool: batches that overlap with posted tasks, and a pool that
// stops without waiting for tasks it has not started.
#include "modules/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

TEST(WorkerPool, PostedTasksRunBesideBatchesAndStopDropsThoseNotStarted) {
  std::atomic<int> ran{0};
  const auto token = std::make_shared<int>(0);  // held by the task that never starts
  std::promise<void> started, release;
  std::future<void> releaser;
  {
    trl::WorkerPool pool(1);
    pool.post([&] {
      started.set_value();
      release.get_future().wait();
      ++ran;
    });
    started.get_future().wait();
    pool.post([&ran, token] { ++ran; });
    pool.run(3, [&](size_t) { ++ran; });
    EXPECT_EQ(ran, 3) << "the batch ran on the calling thread while the worker was busy";
    releaser = std::async(std::launch::async, [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      release.set_value();
    });
  }
  EXPECT_EQ(ran, 4) << "the running task ended before the pool; the queued one never started";
  EXPECT_EQ(token.use_count(), 1) << "and was let go of";

  trl::WorkerPool inline_pool(0);
  inline_pool.post([] { throw std::runtime_error("dropped"); });
  inline_pool.post([&] { ++ran; });
  EXPECT_EQ(ran, 5) << "without workers a task runs on the caller";
}

}  // namespace
