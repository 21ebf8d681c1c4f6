#include "audio/run_loop_thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <vector>

namespace qur {
namespace {

using namespace std::chrono_literals;

// Waits for a condition another thread brings about; the bound only keeps a
// broken build from hanging, it is not a timing requirement.
template <typename Pred>
bool eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::string platformName() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

TEST(RunLoopThreadConcurrency, WorkAndTimersQueuedBeforeStartRunInOrder) {
  RunLoopThread thread;
  EXPECT_EQ(thread.name(), "QURRunLoopThread");
  std::vector<int> order;
  std::atomic<int> fires{0};
  std::atomic<bool> offThread{false};
  auto timer = RunLoopTimer::create(2ms, true, [&] {
    if (!thread.isCurrentThread()) offThread = true;
    ++fires;
  });
  thread.attachTimer(timer);
  for (int i = 0; i < 100; ++i) thread.performBlock([&order, i] { order.push_back(i); });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(fires.load(), 0);  // nothing runs before start
  thread.start();
  ASSERT_TRUE(eventually([&] { return fires.load() >= 3; }));
  timer->invalidate();
  ASSERT_TRUE(thread.performBlockAndWait([] {}));
  std::vector<int> expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, expected);
  EXPECT_FALSE(offThread.load());
}

TEST(RunLoopThreadConcurrency, TwoTimersOnTheSharedInstanceNeverOverlap) {
  auto shared = RunLoopThread::sharedInstance();
  EXPECT_EQ(shared, RunLoopThread::sharedInstance());
  shared->start();
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> a{0}, b{0};
  std::mutex idsMutex;
  std::vector<std::thread::id> ids;
  auto body = [&](std::atomic<int>& count) {
    if (inside.fetch_add(1) != 0) overlapped = true;
    {
      std::lock_guard lock(idsMutex);
      ids.push_back(std::this_thread::get_id());
    }
    std::this_thread::sleep_for(200us);
    ++count;
    inside.fetch_sub(1);
  };
  auto ta = RunLoopTimer::create(1ms, true, [&] { body(a); });
  auto tb = RunLoopTimer::create(1ms, true, [&] { body(b); });
  shared->attachTimer(ta);
  shared->attachTimer(tb);
  ASSERT_TRUE(eventually([&] { return a.load() >= 20 && b.load() >= 20; }));
  ta->invalidate();
  tb->invalidate();
  ASSERT_TRUE(shared->performBlockAndWait([] {}));
  EXPECT_FALSE(overlapped.load());
  std::lock_guard lock(idsMutex);
  for (const auto& id : ids) EXPECT_EQ(id, ids.front());
  EXPECT_NE(ids.front(), std::this_thread::get_id());
}

TEST(RunLoopThreadConcurrency, PlatformNameIsSetBeforeStart) {
  RunLoopThread thread;
  thread.setName("QURLengthDelimitedOutputStreamFlush");
  thread.start();
  std::string seen;
  ASSERT_TRUE(thread.performBlockAndWait([&] { seen = platformName(); }));
  EXPECT_EQ(seen, "QURLengthDelimi");

  RunLoopThread shortName;
  shortName.setName("qur-wtalkie");
  shortName.start();
  ASSERT_TRUE(shortName.performBlockAndWait([&] { seen = platformName(); }));
  EXPECT_EQ(seen, "qur-wtalkie");
}

TEST(RunLoopThreadConcurrency, PerformAndWaitRunsNestedAndFailsOnceStopped) {
  RunLoopThread thread;
  thread.start();
  int value = 0;
  bool nested = false;
  ASSERT_TRUE(thread.performBlockAndWait([&] {
    // Called from the loop's own thread it must run inline, not deadlock.
    nested = thread.performBlockAndWait([&] { value = 42; });
  }));
  EXPECT_TRUE(nested);
  EXPECT_EQ(value, 42);
  thread.stop();
  EXPECT_FALSE(thread.performBlockAndWait([&] { value = 1; }));
  EXPECT_EQ(value, 42);

  // A caller waiting on a loop that never started is released by stop().
  RunLoopThread idle;
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = idle.performBlockAndWait([] {}) ? 1 : 0; });
  std::this_thread::sleep_for(10ms);
  idle.stop();
  waiter.join();
  EXPECT_EQ(result.load(), 0);
}

TEST(RunLoopThreadConcurrency, InvalidatingReleasesTheBlock) {
  RunLoopThread thread;
  thread.start();
  auto held = std::make_shared<int>(5);
  std::weak_ptr<int> watch = held;
  std::atomic<int> fires{0};
  auto timer = RunLoopTimer::create(1h, true, [held, &fires] { ++fires; });
  held.reset();
  thread.attachTimer(timer);
  ASSERT_TRUE(thread.performBlockAndWait([] {}));
  EXPECT_FALSE(watch.expired());
  timer->invalidate();
  EXPECT_FALSE(timer->isValid());
  // The hour-long wait is cancelled at once: the loop lets go of the timer
  // and the block's captures without waiting for the deadline.
  ASSERT_TRUE(eventually([&] { return watch.expired() && timer.use_count() == 1; }));
  EXPECT_EQ(fires.load(), 0);
}

TEST(RunLoopThreadConcurrency, OneShotTimerFiresOnce) {
  RunLoopThread thread;
  thread.start();
  std::atomic<int> fires{0};
  auto timer = RunLoopTimer::create(1ms, false, [&] { ++fires; });
  thread.attachTimer(timer);
  thread.attachTimer(timer);  // a second attach is ignored
  ASSERT_TRUE(eventually([&] { return !timer->isValid(); }));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(thread.performBlockAndWait([] {}));
  EXPECT_EQ(fires.load(), 1);
  EXPECT_TRUE(eventually([&] { return timer.use_count() == 1; }));
}

TEST(RunLoopThreadConcurrency, StreamsScheduleThemselvesOnTheLoop) {
  struct PolledStream : RunLoopStream {
    std::atomic<bool> onLoop{false};
    std::atomic<int> polls{0};
    std::shared_ptr<RunLoopTimer> poll;
    void scheduleInRunLoop(RunLoopThread& thread) override {
      onLoop = thread.isCurrentThread();
      poll = RunLoopTimer::create(1ms, true, [this] { ++polls; });
      thread.attachTimer(poll);
    }
  };
  auto stream = std::make_shared<PolledStream>();
  {
    RunLoopThread thread;
    thread.scheduleRunLoopForStream(stream);
    thread.start();
    ASSERT_TRUE(eventually([&] { return stream->polls.load() >= 2; }));
    EXPECT_TRUE(stream->onLoop.load());
  }
  // The loop is gone with its thread; the timer it held is released and
  // the stream outlives it safely.
  const int after = stream->polls.load();
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(stream->polls.load(), after);
  EXPECT_EQ(stream->poll.use_count(), 1);
}

TEST(RunLoopThreadConcurrency, DestroyedFromItsOwnThread) {
  auto thread = std::make_shared<RunLoopThread>();
  thread->start();
  std::atomic<bool> done{false};
  std::weak_ptr<RunLoopThread> weak = thread;
  auto holder = std::make_shared<std::shared_ptr<RunLoopThread>>(thread);
  thread.reset();
  // The last owner lets go inside a block on the loop itself.
  weak.lock()->performBlock([holder, &done] {
    holder->reset();
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return done.load(); }));
  EXPECT_TRUE(eventually([&] { return weak.expired(); }));
}

}  // namespace
}  // namespace qur
