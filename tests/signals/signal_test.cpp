#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "recorder.h"
#include "signals/signal.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::mainLoop;
using testing::Recorder;

TEST(Signal, SubscribingOnTheMainThreadRunsTheBlockBeforeSubscribeReturns) {
  bool ran = false;
  auto signal = Signal<int>::create([&](const SubscriberPtr<int>& subscriber) -> DisposablePtr {
    ran = true;
    subscriber->sendNext(1);
    return nullptr;
  });
  EXPECT_EQ(signal.name(), "+createSignal:");
  Recorder<int> recorder;
  recorder.subscribeTo(signal);
  EXPECT_TRUE(ran);
  EXPECT_EQ(recorder.values(), std::vector<int>{1});
}

TEST(Signal, SubscribingFromAPlainThreadRunsTheBlockLaterOnABackgroundScheduler) {
  std::atomic<bool> ran{false};
  std::atomic<bool> hadScheduler{false};
  std::thread::id blockThread;
  auto signal = Signal<int>::create([&](const SubscriberPtr<int>&) -> DisposablePtr {
    blockThread = std::this_thread::get_id();
    hadScheduler = Scheduler::currentScheduler() != nullptr;
    ran = true;
    return nullptr;
  });
  std::thread::id subscriberThread;
  std::thread([&] {
    subscriberThread = std::this_thread::get_id();
    signal.subscribeNext([](const int&) {});
  }).join();
  ASSERT_TRUE(mainLoop().runUntil([&] { return ran.load(); }, 5s));
  EXPECT_NE(blockThread, subscriberThread);
  EXPECT_TRUE(hadScheduler);
}

TEST(Signal, SubscribingInsideABackgroundSchedulerIsSynchronous) {
  auto signal = Signal<int>::just(7);
  std::atomic<bool> done{false};
  std::atomic<bool> gotValueInside{false};
  Scheduler::scheduler()->schedule([&] {
    bool got = false;
    signal.subscribeNext([&](const int& v) { got = v == 7; });
    gotValueInside = got;
    done = true;
  });
  ASSERT_TRUE(mainLoop().runUntil([&] { return done.load(); }, 5s));
  EXPECT_TRUE(gotValueInside);
}

TEST(Signal, NothingArrivesAfterATerminalEvent) {
  auto signal = Signal<int>::create([](const SubscriberPtr<int>& subscriber) -> DisposablePtr {
    subscriber->sendNext(1);
    subscriber->sendCompleted();
    subscriber->sendNext(2);
    subscriber->sendError(Error("test", 1));
    subscriber->sendCompleted();
    return nullptr;
  });
  Recorder<int> recorder;
  recorder.subscribeTo(signal);
  EXPECT_EQ(recorder.values(), std::vector<int>{1});
  EXPECT_TRUE(recorder.completed());
  EXPECT_EQ(recorder.terminals(), 1);

  auto failing = Signal<int>::create([](const SubscriberPtr<int>& subscriber) -> DisposablePtr {
    subscriber->sendError(Error("test", 5, "broken"));
    subscriber->sendNext(3);
    subscriber->sendCompleted();
    return nullptr;
  });
  Recorder<int> failed;
  failed.subscribeTo(failing);
  EXPECT_TRUE(failed.values().empty());
  ASSERT_TRUE(failed.error());
  EXPECT_EQ(failed.error()->code, 5);
  EXPECT_EQ(failed.error()->description, "broken");
  EXPECT_FALSE(failed.completed());
}

TEST(Signal, DisposingTheSubscriptionDisposesWhatTheBlockReturnedAndStopsDelivery) {
  auto inner = Disposable::create();
  SubscriberPtr<int> kept;
  auto signal = Signal<int>::create([&](const SubscriberPtr<int>& subscriber) {
    kept = subscriber;
    return inner;
  });
  Recorder<int> recorder;
  auto subscription = recorder.subscribeTo(signal);
  kept->sendNext(1);
  subscription->dispose();
  EXPECT_TRUE(inner->isDisposed());
  kept->sendNext(2);
  kept->sendCompleted();
  EXPECT_EQ(recorder.values(), std::vector<int>{1});
  EXPECT_FALSE(recorder.completed());
}

TEST(Signal, TerminatingInsideTheBlockDisposesWhatTheBlockReturns) {
  auto inner = Disposable::create();
  auto signal = Signal<int>::create([&](const SubscriberPtr<int>& subscriber) {
    subscriber->sendCompleted();
    return inner;
  });
  signal.subscribeNext([](const int&) {});
  EXPECT_TRUE(inner->isDisposed());
}

TEST(Signal, EachSubscriptionRunsTheBlockAnew) {
  int runs = 0;
  auto signal = Signal<int>::create([&](const SubscriberPtr<int>& subscriber) -> DisposablePtr {
    subscriber->sendNext(++runs);
    return nullptr;
  });
  Recorder<int> a;
  Recorder<int> b;
  a.subscribeTo(signal);
  b.subscribeTo(signal);
  EXPECT_EQ(a.values(), std::vector<int>{1});
  EXPECT_EQ(b.values(), std::vector<int>{2});
}

TEST(Signal, ConstantSignals) {
  Recorder<int> never;
  never.subscribeTo(Signal<int>::never());
  Recorder<int> nullHandle;
  nullHandle.subscribeTo(Signal<int>());
  Recorder<int> empty;
  empty.subscribeTo(Signal<int>::empty());
  Recorder<int> just;
  just.subscribeTo(Signal<int>::just(4));
  Recorder<int> error;
  error.subscribeTo(Signal<int>::error(Error("d", 2)));
  EXPECT_EQ(never.terminals() + nullHandle.terminals() + never.count() + nullHandle.count(), 0);
  EXPECT_TRUE(empty.completed());
  EXPECT_EQ(just.values(), std::vector<int>{4});
  EXPECT_TRUE(just.completed());
  ASSERT_TRUE(error.error());
  EXPECT_EQ(error.error()->domain, "d");
}

}  // namespace
}  // namespace qur
