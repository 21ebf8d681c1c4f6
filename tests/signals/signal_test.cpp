#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "recorder.h"
#include "signals/signal.h"
#include "signals/subject.h"

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

namespace qur {
namespace {

// Whatever a subscriber's blocks hold is released as soon as the
// subscription ends, through every operator: no cycles keep it alive.
TEST(SignalLifetime, EndedSubscriptionsReleaseTheirBlocks) {
  auto input = Subject<int>::create();
  auto other = Subject<bool>::create();
  auto scheduler = Scheduler::scheduler();
  const std::vector<std::function<Signal<int>(Signal<int>)>> chains = {
      [](Signal<int> s) {
        return s.map([](int v) { return v + 1; }).filter([](int) { return true; });
      },
      [](Signal<int> s) { return s.distinctUntilChanged().startWith(0).skip(1).take(100); },
      [&](Signal<int> s) {
        return s.combineLatestWith(Signal<bool>(other)).map([](const std::tuple<int, bool>& t) {
          return std::get<0>(t);
        });
      },
      [&](Signal<int> s) {
        return Signal<int>::ifThenElse(Signal<bool>(other), s, Signal<int>::never());
      },
      [&](Signal<int> s) {
        return Signal<int>::merge({s, s.map([](int v) { return -v; })});
      },
      [&](Signal<int> s) { return s.deliverOn(scheduler).takeUntil(Signal<bool>(other).skip(5)); },
  };
  for (std::size_t i = 0; i < chains.size(); ++i) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> weakToken = token;
    auto subscription =
        chains[i](Signal<int>(input)).subscribeNext([token](const int&) { ++*token; });
    token.reset();
    other->sendNext(true);
    input->sendNext(1);
    EXPECT_FALSE(weakToken.expired()) << "chain " << i;
    subscription->dispose();
    // A deliverOn block may still hold the subscriber until its queue runs.
    std::atomic<bool> drained{false};
    scheduler->schedule([&] { drained = true; });
    ASSERT_TRUE(
        testing::mainLoop().runUntil([&] { return drained.load(); }, std::chrono::seconds(5)));
    EXPECT_TRUE(weakToken.expired()) << "chain " << i;
    EXPECT_EQ(input->subscriberCount(), 0u) << "chain " << i;
    EXPECT_EQ(other->subscriberCount(), 0u) << "chain " << i;
  }
}

TEST(SignalLifetime, CompletedSubscriptionsReleaseTheirBlocks) {
  auto input = Subject<int>::create();
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> weakToken = token;
  input->signal().map([](int v) { return v; }).subscribeNext([token](const int&) {}, [token] {});
  token.reset();
  EXPECT_FALSE(weakToken.expired());
  input->sendCompleted();
  EXPECT_TRUE(weakToken.expired());
}

}  // namespace
}  // namespace qur
