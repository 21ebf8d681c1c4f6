#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "signals/scheduler.h"
#include "signals/virtual_time_scheduler.h"
#include "support/test_main.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::mainLoop;

TEST(MainThreadScheduler, RunsScheduledWorkAfterTheCurrentBlockEvenFromTheMainThread) {
  std::vector<std::string> order;
  mainQueue().post([&] {
    Scheduler::mainThreadScheduler()->schedule([&] { order.push_back("scheduled"); });
    order.push_back("current block ends");
  });
  ASSERT_TRUE(mainLoop().runUntil([&] { return order.size() == 2; }, 5s));
  EXPECT_EQ(order, (std::vector<std::string>{"current block ends", "scheduled"}));
}

TEST(MainThreadScheduler, NeverRunsInsideScheduleAndKeepsOrder) {
  std::vector<int> order;
  auto main = Scheduler::mainThreadScheduler();
  for (int i = 0; i < 10; ++i) main->schedule([&, i] { order.push_back(i); });
  EXPECT_TRUE(order.empty());
  ASSERT_TRUE(mainLoop().runUntil([&] { return order.size() == 10; }, 5s));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(MainThreadScheduler, WorkFromOtherThreadsRunsOnTheMainThreadAsCurrentScheduler) {
  std::atomic<bool> onMain{false};
  std::atomic<bool> currentIsMain{false};
  std::atomic<bool> done{false};
  std::thread([&] {
    Scheduler::mainThreadScheduler()->schedule([&] {
      onMain = Scheduler::isOnMainThread();
      currentIsMain = Scheduler::currentScheduler() == Scheduler::mainThreadScheduler();
      done = true;
    });
  }).join();
  ASSERT_TRUE(mainLoop().runUntil([&] { return done.load(); }, 5s));
  EXPECT_TRUE(onMain);
  EXPECT_TRUE(currentIsMain);
}

TEST(MainThreadScheduler, DisposingBeforeTheBlockStartsKeepsItFromRunning) {
  bool ran = false;
  bool after = false;
  auto main = Scheduler::mainThreadScheduler();
  main->schedule([&] { ran = true; })->dispose();
  main->schedule([&] { after = true; });
  ASSERT_TRUE(mainLoop().runUntil([&] { return after; }, 5s));
  EXPECT_FALSE(ran);
}

TEST(MainThreadScheduler, DelayedBlocksRunInTheOrderOfTheirDates) {
  std::vector<int> order;
  auto main = Scheduler::mainThreadScheduler();
  main->afterDelay(0.06, [&] { order.push_back(2); });
  main->afterDelay(0.01, [&] { order.push_back(1); });
  auto cancelled = main->afterDelay(0.02, [&] { order.push_back(99); });
  cancelled->dispose();
  ASSERT_TRUE(mainLoop().runUntil([&] { return order.size() == 2; }, 5s));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(Scheduler, CurrentSchedulerIsTheRunningOneElseMainElseNone) {
  EXPECT_EQ(Scheduler::currentScheduler(), Scheduler::mainThreadScheduler());
  SchedulerPtr seenOnPlainThread = Scheduler::mainThreadScheduler();
  std::thread([&] { seenOnPlainThread = Scheduler::currentScheduler(); }).join();
  EXPECT_EQ(seenOnPlainThread, nullptr);

  auto background = Scheduler::scheduler();
  std::atomic<bool> done{false};
  SchedulerPtr seenInside;
  background->schedule([&] {
    seenInside = Scheduler::currentScheduler();
    done = true;
  });
  ASSERT_TRUE(mainLoop().runUntil([&] { return done.load(); }, 5s));
  EXPECT_EQ(seenInside, background);
}

TEST(Scheduler, ImmediateSchedulerRunsInTheCallerAsCurrent) {
  bool ran = false;
  SchedulerPtr seen;
  auto immediate = Scheduler::immediateScheduler();
  immediate->schedule([&] {
    ran = true;
    seen = Scheduler::currentScheduler();
  });
  EXPECT_TRUE(ran);
  EXPECT_EQ(seen, immediate);
  EXPECT_EQ(Scheduler::currentScheduler(), Scheduler::mainThreadScheduler());
}

TEST(Scheduler, SubscriptionSchedulerIsSynchronousWhereASchedulerIsCurrent) {
  bool ranAtOnce = false;
  Scheduler::subscriptionScheduler()->schedule([&] { ranAtOnce = true; });
  EXPECT_TRUE(ranAtOnce);

  std::atomic<bool> ran{false};
  std::atomic<bool> hadCurrent{false};
  std::thread::id callerThread;
  std::thread::id blockThread;
  std::thread([&] {
    callerThread = std::this_thread::get_id();
    Scheduler::subscriptionScheduler()->schedule([&] {
      blockThread = std::this_thread::get_id();
      hadCurrent = Scheduler::currentScheduler() != nullptr;
      ran = true;
    });
  }).join();
  ASSERT_TRUE(mainLoop().runUntil([&] { return ran.load(); }, 5s));
  EXPECT_NE(blockThread, callerThread);
  EXPECT_TRUE(hadCurrent);
}

TEST(BackgroundScheduler, RunsBlocksOneAtATimeInOrder) {
  auto scheduler = Scheduler::scheduler();
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> done{0};
  for (int i = 0; i < 500; ++i) {
    scheduler->schedule([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
      done.fetch_add(1);
    });
  }
  ASSERT_TRUE(mainLoop().runUntil([&] { return done.load() == 500; }, 10s));
  EXPECT_FALSE(overlapped);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(order[i], i);
}

TEST(BackgroundScheduler, ScheduleFromItsOwnBlockIsStillAsynchronous) {
  auto scheduler = Scheduler::scheduler();
  std::mutex mutex;
  std::vector<std::string> order;
  std::atomic<bool> done{false};
  scheduler->schedule([&] {
    scheduler->schedule([&] {
      std::lock_guard lock(mutex);
      order.push_back("inner");
      done = true;
    });
    std::lock_guard lock(mutex);
    order.push_back("outer");
  });
  ASSERT_TRUE(mainLoop().runUntil([&] { return done.load(); }, 5s));
  EXPECT_EQ(order, (std::vector<std::string>{"outer", "inner"}));
}

TEST(BackgroundScheduler, RepeatingTimerStopsWhenDisposed) {
  auto scheduler = Scheduler::scheduler();
  std::atomic<int> fires{0};
  auto timer = scheduler->afterRepeatingEvery(SchedulerClock::now(), 0.001, 0.0, [&] { ++fires; });
  ASSERT_TRUE(mainLoop().runUntil([&] { return fires.load() >= 3; }, 5s));
  timer->dispose();
  // A fire already handed to the queue may still be pending: let it through.
  std::atomic<bool> drained{false};
  scheduler->schedule([&] { drained = true; });
  ASSERT_TRUE(mainLoop().runUntil([&] { return drained.load(); }, 5s));
  const int afterDispose = fires.load();
  std::atomic<bool> drainedAgain{false};
  scheduler->afterDelay(0.02, [&] { drainedAgain = true; });
  ASSERT_TRUE(mainLoop().runUntil([&] { return drainedAgain.load(); }, 5s));
  EXPECT_EQ(fires.load(), afterDispose);
}

TEST(VirtualTimeScheduler, RunsTimersAtTheirVirtualTimesOnly) {
  auto scheduler = VirtualTimeScheduler::create();
  const auto start = scheduler->now();
  std::vector<std::pair<std::string, SchedulerClock::duration>> log;
  auto note = [&](std::string what) { log.emplace_back(what, scheduler->now() - start); };
  scheduler->afterDelay(2.0, [&] { note("two"); });
  scheduler->afterDelay(1.0, [&] { note("one-a"); });
  scheduler->afterDelay(1.0, [&] { note("one-b"); });
  scheduler->schedule([&] { note("now"); });
  EXPECT_TRUE(log.empty());

  scheduler->advanceBySeconds(0.999);
  ASSERT_EQ(log.size(), 1u);
  scheduler->advanceBySeconds(0.001);
  ASSERT_EQ(log.size(), 3u);
  scheduler->advanceBySeconds(5);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].first, "now");
  EXPECT_EQ(log[1].first, "one-a");
  EXPECT_EQ(log[2].first, "one-b");
  EXPECT_EQ(log[1].second, std::chrono::seconds(1));
  EXPECT_EQ(log[3].first, "two");
  EXPECT_EQ(log[3].second, std::chrono::seconds(2));
  EXPECT_EQ(scheduler->now() - start, std::chrono::seconds(6));
}

TEST(VirtualTimeScheduler, RepeatingTimerFiresEveryIntervalUntilDisposed) {
  auto scheduler = VirtualTimeScheduler::create();
  const auto start = scheduler->now();
  std::vector<SchedulerClock::duration> fires;
  DisposablePtr timer;
  timer = scheduler->afterRepeatingEvery(start + 1s, 0.5, 0.0, [&] {
    fires.push_back(scheduler->now() - start);
    if (fires.size() == 4) timer->dispose();
  });
  scheduler->advanceBySeconds(10);
  ASSERT_EQ(fires.size(), 4u);
  EXPECT_EQ(fires[0], 1000ms);
  EXPECT_EQ(fires[1], 1500ms);
  EXPECT_EQ(fires[3], 2500ms);
  EXPECT_EQ(scheduler->pendingCount(), 0u);
}

}  // namespace
}  // namespace qur
