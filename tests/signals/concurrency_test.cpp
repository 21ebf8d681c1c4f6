// Multi-thread behaviour of the signal primitives; also run under TSan.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "recorder.h"
#include "signals/command.h"
#include "signals/property.h"
#include "signals/subject.h"
#include "signals/virtual_time_scheduler.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::mainLoop;

constexpr int kThreads = 4;

// Starts the threads together so that their work really overlaps.
template <class F>
void runTogether(int count, F body) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      body(i);
    });
  }
  go = true;
  for (auto& t : threads) t.join();
}

TEST(SubscriberConcurrency, EventsFromSeveralThreadsArriveOneAtATime) {
  constexpr int kPerThread = 20000;
  SubscriberPtr<int> shared;
  auto signal = Signal<int>::create([&](const SubscriberPtr<int>& subscriber) -> DisposablePtr {
    shared = subscriber;
    return nullptr;
  });
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  long long plainCounter = 0;  // unsynchronised on purpose: TSan reports it if blocks overlap
  std::atomic<bool> completed{false};
  auto subscription = signal.subscribeNext(
      [&](const int&) {
        if (inside.fetch_add(1) != 0) overlapped = true;
        ++plainCounter;
        inside.fetch_sub(1);
      },
      [&] { completed = true; });
  ASSERT_TRUE(shared);
  runTogether(kThreads, [&](int) {
    for (int i = 0; i < kPerThread; ++i) shared->sendNext(i);
  });
  shared->sendCompleted();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(plainCounter, static_cast<long long>(kThreads) * kPerThread);
  EXPECT_TRUE(completed);
}

TEST(SubscriberConcurrency, CompletionRacingWithValuesEndsDeliveryForGood) {
  for (int round = 0; round < 200; ++round) {
    SubscriberPtr<int> shared;
    auto signal = Signal<int>::create([&](const SubscriberPtr<int>& subscriber) -> DisposablePtr {
      shared = subscriber;
      return nullptr;
    });
    std::atomic<bool> completed{false};
    std::atomic<bool> valueAfterCompletion{false};
    std::atomic<int> completions{0};
    auto subscription = signal.subscribeNext(
        [&](const int&) {
          if (completed.load()) valueAfterCompletion = true;
        },
        [&] {
          completed = true;
          completions.fetch_add(1);
        });
    runTogether(3, [&](int i) {
      if (i == 0) {
        shared->sendCompleted();
      } else {
        for (int v = 0; v < 200; ++v) shared->sendNext(v);
        shared->sendCompleted();
      }
    });
    ASSERT_FALSE(valueAfterCompletion);
    ASSERT_EQ(completions.load(), 1);
  }
}

TEST(SubjectConcurrency, NoValueSentAfterDisposeReturnsIsDelivered) {
  auto subject = Subject<long>::create();
  std::atomic<long> counter{0};
  std::atomic<bool> stop{false};
  std::atomic<int> violations{0};
  std::thread sender([&] {
    while (!stop.load()) subject->sendNext(counter.fetch_add(1) + 1);
  });
  for (int i = 0; i < 2000; ++i) {
    auto maxSeen = std::make_shared<std::atomic<long>>(0);
    auto subscription = subject->signal().subscribeNext([maxSeen](const long& v) {
      long previous = maxSeen->load();
      while (v > previous && !maxSeen->compare_exchange_weak(previous, v)) {
      }
    });
    std::this_thread::yield();
    subscription->dispose();
    const long mark = counter.load();
    // Let sends that began after the mark run before checking.
    while (counter.load() < mark + 3) std::this_thread::yield();
    if (maxSeen->load() > mark) violations.fetch_add(1);
  }
  stop = true;
  sender.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(subject->subscriberCount(), 0u);
}

TEST(SubjectConcurrency, SubscribersThatSubscribeAndDisposeDuringDelivery) {
  auto subject = Subject<int>::create();
  std::atomic<int> delivered{0};
  std::mutex keptMutex;
  std::vector<DisposablePtr> kept;
  // Each first value makes the subscriber add another subscriber and leave.
  std::function<void()> addChurningSubscriber;
  struct Self {
    std::mutex mutex;
    DisposablePtr subscription;
    bool leaveWhenSet = false;
    std::atomic<bool> fired{false};
  };
  addChurningSubscriber = [&] {
    auto self = std::make_shared<Self>();
    auto subscription = subject->signal().subscribeNext([&, self](const int&) {
      delivered.fetch_add(1);
      // A value already past the subject when we leave may still arrive once.
      if (self->fired.exchange(true)) return;
      {
        std::lock_guard lock(self->mutex);
        if (self->subscription)
          self->subscription->dispose();
        else
          self->leaveWhenSet = true;  // a value came before subscribe() returned
      }
      addChurningSubscriber();
    });
    {
      std::lock_guard lock(self->mutex);
      self->subscription = subscription;
      if (self->leaveWhenSet) subscription->dispose();
    }
    std::lock_guard lock(keptMutex);
    kept.push_back(subscription);
  };
  for (int i = 0; i < 8; ++i) addChurningSubscriber();
  runTogether(kThreads, [&](int) {
    for (int v = 0; v < 2000; ++v) subject->sendNext(v);
  });
  EXPECT_GT(delivered.load(), 0);
  // Every subscriber leaves after its first value and adds exactly one new one.
  EXPECT_EQ(subject->subscriberCount(), 8u);
  std::lock_guard lock(keptMutex);
  for (auto& d : kept) d->dispose();
  EXPECT_EQ(subject->subscriberCount(), 0u);
}

TEST(DisposableConcurrency, DisposeFromTwoThreadsRunsTheActionOnce) {
  for (int round = 0; round < 2000; ++round) {
    std::atomic<int> runs{0};
    auto disposable = Disposable::create([&] { runs.fetch_add(1); });
    runTogether(2, [&](int) { disposable->dispose(); });
    ASSERT_EQ(runs.load(), 1);
    ASSERT_TRUE(disposable->isDisposed());
  }
}

TEST(DisposableConcurrency, CompoundAddRacingWithDisposeDisposesEveryMemberOnce) {
  for (int round = 0; round < 300; ++round) {
    auto compound = CompoundDisposable::create();
    std::atomic<int> runs{0};
    runTogether(3, [&](int i) {
      if (i == 0) {
        compound->dispose();
      } else {
        for (int m = 0; m < 10; ++m)
          compound->addDisposable(Disposable::create([&] { runs.fetch_add(1); }));
      }
    });
    ASSERT_EQ(runs.load(), 20);
  }
}

TEST(ReplaySubjectConcurrency, NewSubscribersSeeRecordedAndLiveValuesWithoutGaps) {
  auto subject = ReplaySubject<int>::create();
  constexpr int kValues = 3000;
  std::vector<std::shared_ptr<std::vector<int>>> seen;
  std::vector<DisposablePtr> subscriptions;
  std::mutex mutex;
  std::thread sender([&] {
    for (int v = 0; v < kValues; ++v) subject->sendNext(v);
    subject->sendCompleted();
  });
  // Subscribing inside a scheduler is synchronous, so the replay races the sender.
  auto scheduler = Scheduler::scheduler();
  std::atomic<int> subscribed{0};
  for (int i = 0; i < 20; ++i) {
    scheduler->schedule([&] {
      auto values = std::make_shared<std::vector<int>>();
      auto d = subject->signal().subscribeNext([values](const int& v) { values->push_back(v); });
      std::lock_guard lock(mutex);
      seen.push_back(values);
      subscriptions.push_back(d);
      subscribed.fetch_add(1);
    });
  }
  sender.join();
  ASSERT_TRUE(mainLoop().runUntil([&] { return subscribed.load() == 20; }, 10s));
  std::lock_guard lock(mutex);
  for (const auto& values : seen) {
    ASSERT_EQ(values->size(), static_cast<std::size_t>(kValues));
    for (int v = 0; v < kValues; ++v) ASSERT_EQ((*values)[v], v);
  }
}

TEST(PropertyConcurrency, ObserversEndOnTheLatestValueWhenSeveralThreadsSet) {
  Property<int> value(0);
  std::mutex mutex;
  std::vector<int> seen;
  auto subscription = value.values().subscribeNext([&](const int& v) {
    std::lock_guard lock(mutex);
    seen.push_back(v);
  });
  runTogether(kThreads, [&](int t) {
    for (int i = 1; i <= 1000; ++i) value.set(t * 100000 + i);
  });
  value.set(-1);
  std::lock_guard lock(mutex);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), -1);
  // Values of one setter thread never arrive out of order.
  std::vector<int> lastPerThread(kThreads, 0);
  for (int v : seen) {
    if (v <= 0) continue;
    const int t = v / 100000;
    ASSERT_GT(v % 100000, lastPerThread[t]);
    lastPerThread[t] = v % 100000;
  }
}

TEST(OperatorConcurrency, CombineLatestBuildsTuplesFromConsistentPairs) {
  auto left = Subject<int>::create();
  auto right = Subject<int>::create();
  std::vector<std::tuple<int, int>> tuples;
  auto subscription =
      Signal<int>(left)
          .combineLatestWith(Signal<int>(right))
          .subscribeNext([&](const std::tuple<int, int>& t) { tuples.push_back(t); });
  runTogether(2, [&](int i) {
    for (int v = 1; v <= 5000; ++v) (i == 0 ? left : right)->sendNext(v);
  });
  ASSERT_FALSE(tuples.empty());
  // Both components only grow, and each step changes exactly one of them.
  for (std::size_t i = 1; i < tuples.size(); ++i) {
    const auto [a0, b0] = tuples[i - 1];
    const auto [a1, b1] = tuples[i];
    ASSERT_GE(a1, a0);
    ASSERT_GE(b1, b0);
    ASSERT_EQ((a1 - a0) + (b1 - b0), 1);
  }
  EXPECT_EQ(tuples.back(), std::make_tuple(5000, 5000));
}

TEST(SchedulerConcurrency, BlocksScheduledFromManyThreadsRunOneAtATime) {
  auto scheduler = Scheduler::scheduler();
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> done{0};
  long long plain = 0;
  runTogether(kThreads, [&](int) {
    for (int i = 0; i < 2000; ++i) {
      scheduler->schedule([&] {
        if (inside.fetch_add(1) != 0) overlapped = true;
        ++plain;
        inside.fetch_sub(1);
        done.fetch_add(1);
      });
    }
  });
  ASSERT_TRUE(mainLoop().runUntil([&] { return done.load() == kThreads * 2000; }, 20s));
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(plain, kThreads * 2000);
}

TEST(SchedulerConcurrency, DeliverOnKeepsOrderWhileValuesComeFromAnotherThread) {
  auto subject = Subject<int>::create();
  testing::Recorder<int> recorder;
  recorder.subscribeTo(Signal<int>(subject).deliverOn(Scheduler::mainThreadScheduler()));
  std::thread sender([&] {
    for (int v = 0; v < 3000; ++v) subject->sendNext(v);
  });
  ASSERT_TRUE(recorder.waitForCount(3000, 20s));
  sender.join();
  auto values = recorder.values();
  for (int v = 0; v < 3000; ++v) ASSERT_EQ(values[v], v);
}

TEST(CommandConcurrency, OnlyOneOfSimultaneousExecutionsRuns) {
  for (int round = 0; round < 50; ++round) {
    auto finish = Subject<int>::create();
    std::atomic<int> blockCalls{0};
    auto command = std::make_unique<Command<int, int>>([&](const int&) {
      blockCalls.fetch_add(1);
      return Signal<int>(finish).take(1);
    });
    std::atomic<int> refused{0};
    runTogether(3, [&](int i) {
      auto execution = command->execute(i);
      execution.subscribeNext([](const int&) {},
                              [&](const Error& e) {
                                if (e.code == 1) refused.fetch_add(1);
                              },
                              [] {});
    });
    ASSERT_TRUE(mainLoop().runUntil([&] { return refused.load() == 2; }, 5s));
    ASSERT_EQ(blockCalls.load(), 1);
    mainLoop().drain();
    finish->sendNext(1);
    command.reset();
    mainLoop().drain();
  }
}

// A subscriber may hand work to another thread that uses the same subject
// and wait for it: nothing of the subject is held while subscriber code runs.
TEST(ReplaySubjectConcurrency, SubscriberMayWaitForAnotherThreadThatUsesTheSubject) {
  auto subject = ReplaySubject<int>::create();
  std::atomic<int> helpersDone{0};
  std::atomic<int> helpersStuck{0};
  std::vector<std::future<void>> helpers;
  std::mutex helpersMutex;
  auto wait = [&](std::function<void()> work) {
    auto f = std::async(std::launch::async, std::move(work));
    // Generous: only a helper stuck on the subject misses it.
    if (f.wait_for(30s) == std::future_status::ready)
      helpersDone.fetch_add(1);
    else
      helpersStuck.fetch_add(1);
    std::lock_guard lock(helpersMutex);
    helpers.push_back(std::move(f));  // joined at the end either way
  };
  std::vector<int> live;
  auto subscription = subject->signal().subscribeNext([&](const int& v) {
    live.push_back(v);
    if (v == 1) wait([&] { EXPECT_TRUE(subject->lastValue().has_value()); });
    if (v == 2) wait([&] { subject->sendNext(3); });
  });
  subject->sendNext(1);
  subject->sendNext(2);
  // A new subscriber whose replay waits for a sender on another thread.
  std::vector<int> replayed;
  auto late = subject->signal().subscribeNext([&](const int& v) {
    replayed.push_back(v);
    if (v == 1) wait([&] { subject->sendNext(4); });
  });
  for (auto& f : helpers) f.wait();
  EXPECT_EQ(helpersStuck.load(), 0);
  EXPECT_EQ(helpersDone.load(), 3);
  EXPECT_EQ(live, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(replayed, (std::vector<int>{1, 2, 3, 4})) << "replay first, then live, in order";
  subscription->dispose();
  late->dispose();
}

// Disposing from another thread while the clock advances: once dispose has
// returned, the block never runs.
TEST(VirtualTimeSchedulerConcurrency, NoBlockRunsAfterItsDisposeReturned) {
  // The window is a few instructions wide: several rounds make it show.
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    auto scheduler = VirtualTimeScheduler::create();
    constexpr int kBlocks = 20000;
    std::vector<std::atomic<bool>> disposed(kBlocks);
    std::atomic<int> ranAfterDispose{0};
    std::atomic<int> ran{0};
    std::vector<DisposablePtr> disposables;
    disposables.reserve(kBlocks);
    for (int i = 0; i < kBlocks; ++i) {
      disposables.push_back(
          scheduler->after(scheduler->now() + std::chrono::microseconds(i), [&, i] {
            if (disposed[std::size_t(i)].load()) ranAfterDispose.fetch_add(1);
            ran.fetch_add(1);
          }));
    }
    runTogether(2, [&](int t) {
      if (t == 0) {
        for (int i = 0; i < kBlocks; ++i) scheduler->advanceBy(std::chrono::microseconds(1));
      } else {
        // Every other block, racing the clock.
        for (int i = 1; i < kBlocks; i += 2) {
          disposables[std::size_t(i)]->dispose();
          disposed[std::size_t(i)].store(true);
        }
      }
    });
    scheduler->advanceBy(std::chrono::seconds(1));
    EXPECT_EQ(ranAfterDispose.load(), 0);
    EXPECT_GE(ran.load(), kBlocks / 2) << "the blocks nobody disposed all ran";
    EXPECT_EQ(scheduler->pendingCount(), 0u);
  }
}

}  // namespace
}  // namespace qur
