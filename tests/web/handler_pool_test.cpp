// The handler pool: handlers waiting for a person do not starve the others.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/scratch.h"
#include "web/handler_pool.h"
#include "web/session_lock.h"

using web::HandlerPool;
using web::SessionLock;
using trl::test::eventually;

TEST(HandlerPool, RunsJobsOnItsThreads) {
  HandlerPool pool(2);
  std::atomic<int> ran{0};
  std::atomic<bool> onPool{true};
  for (int i = 0; i < 100; ++i)
    pool.post([&] {
      onPool = onPool && HandlerPool::current() == &pool;
      ++ran;
    });
  ASSERT_TRUE(eventually([&] { return ran == 100; }));
  EXPECT_TRUE(onPool);
  EXPECT_EQ(HandlerPool::current(), nullptr);
  EXPECT_LE(pool.threadCount(), 2u);
}

TEST(HandlerPool, WaitingHandlersDoNotStarveTheOthersAndSurplusThreadsEndWhenIdle) {
  HandlerPool pool(1, 8, std::chrono::milliseconds(50));
  std::atomic<int> waiting{0};
  std::atomic<bool> release{false}, otherRan{false};
  // Three sessions each wait for a person, more than the pool's threads.
  for (int i = 0; i < 3; ++i)
    pool.post([&] {
      HandlerPool::Blocking blocking;
      ++waiting;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
  ASSERT_TRUE(eventually([&] { return waiting == 3; }));
  pool.post([&] { otherRan = true; });
  EXPECT_TRUE(eventually([&] { return otherRan.load(); }));
  EXPECT_GE(pool.threadCount(), 3u);
  release = true;
  EXPECT_TRUE(eventually([&] { return pool.threadCount() <= 1; }));
}

TEST(SessionLock, NestsForItsHolderAndFailsWhenDying) {
  SessionLock lock;
  ASSERT_TRUE(lock.lock());
  ASSERT_TRUE(lock.lock());  // nested
  EXPECT_TRUE(lock.heldByThisThread());
  std::atomic<int> other{-1};
  std::thread t([&] { other = lock.lock() ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(other, -1);
  lock.markDying();
  t.join();
  EXPECT_EQ(other, 0);
  const int depth = lock.releaseAll();
  EXPECT_EQ(depth, 2);
  EXPECT_FALSE(lock.heldByThisThread());
  EXPECT_FALSE(lock.lock());  // dying: nobody new gets it
  lock.lockAlways();          // teardown does
  EXPECT_TRUE(lock.heldByThisThread());
  lock.unlock();
}
