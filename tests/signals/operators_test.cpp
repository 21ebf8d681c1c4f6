#include <gtest/gtest.h>

#include <list>
#include <optional>
#include <ranges>

#include "recorder.h"
#include "signals/subject.h"
#include "signals/virtual_time_scheduler.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::mainLoop;
using testing::Recorder;

template <class T>
std::shared_ptr<Subject<T>> subject() {
  return Subject<T>::create();
}

TEST(Operators, MapFilterAndScanTransformInOrder) {
  auto input = subject<int>();
  Recorder<std::string> mapped;
  mapped.subscribeTo(Signal<int>(input).filter([](int v) { return v % 2 == 1; }).map([](int v) {
    return std::to_string(v * 10);
  }));
  Recorder<int> sums;
  sums.subscribeTo(
      Signal<int>(input).scanWithStart(100, [](int running, int v) { return running + v; }));
  for (int i = 1; i <= 4; ++i) input->sendNext(i);
  input->sendCompleted();
  EXPECT_EQ(mapped.values(), (std::vector<std::string>{"10", "30"}));
  EXPECT_TRUE(mapped.completed());
  EXPECT_EQ(sums.values(), (std::vector<int>{101, 103, 106, 110}));
}

TEST(Operators, ScanKeepsOneRunningValuePerSubscription) {
  auto input = subject<int>();
  auto counting = Signal<int>(input).scanWithStart(0, [](int running, int) { return running + 1; });
  Recorder<int> first;
  first.subscribeTo(counting);
  input->sendNext(0);
  Recorder<int> second;
  second.subscribeTo(counting);
  input->sendNext(0);
  EXPECT_EQ(first.values(), (std::vector<int>{1, 2}));
  EXPECT_EQ(second.values(), (std::vector<int>{1}));
}

TEST(Operators, ErrorsPassThroughAtOnce) {
  auto input = subject<int>();
  Recorder<int> recorder;
  recorder.subscribeTo(
      Signal<int>(input).map([](int v) { return v; }).filter([](int) { return false; }));
  input->sendError(Error("test", 7));
  ASSERT_TRUE(recorder.error());
  EXPECT_EQ(recorder.error()->code, 7);
}

TEST(Operators, StartWithSendsFirstSynchronously) {
  auto input = subject<int>();
  Recorder<int> recorder;
  recorder.subscribeTo(Signal<int>(input).startWith(0));
  EXPECT_EQ(recorder.values(), std::vector<int>{0});
  input->sendNext(1);
  EXPECT_EQ(recorder.values(), (std::vector<int>{0, 1}));
}

TEST(Operators, DistinctUntilChangedComparesWithThePreviousValueOnly) {
  auto input = subject<int>();
  Recorder<int> recorder;
  recorder.subscribeTo(Signal<int>(input).distinctUntilChanged());
  for (int v : {1, 1, 2, 1}) input->sendNext(v);
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 2, 1}));

  auto optional = subject<std::optional<int>>();
  Recorder<std::optional<int>> nils;
  nils.subscribeTo(Signal<std::optional<int>>(optional).distinctUntilChanged());
  for (auto v : {std::optional<int>(), std::optional<int>(), std::optional<int>(3)})
    optional->sendNext(v);
  EXPECT_EQ(nils.values(), (std::vector<std::optional<int>>{std::nullopt, 3}));
}

TEST(Operators, CombineLatestWaitsForBothAndPassesNilInsideTheTuple) {
  auto left = subject<int>();
  auto right = subject<std::optional<std::string>>();
  using Pair = std::tuple<int, std::optional<std::string>>;
  Recorder<Pair> recorder;
  recorder.subscribeTo(
      Signal<int>(left).combineLatestWith(Signal<std::optional<std::string>>(right)));
  left->sendNext(1);
  left->sendNext(2);
  EXPECT_TRUE(recorder.values().empty());
  right->sendNext(std::nullopt);
  right->sendNext("a");
  left->sendNext(3);
  EXPECT_EQ(recorder.values(), (std::vector<Pair>{{2, std::nullopt}, {2, "a"}, {3, "a"}}));
  left->sendCompleted();
  EXPECT_FALSE(recorder.completed());
  right->sendCompleted();
  EXPECT_TRUE(recorder.completed());
}

TEST(Operators, CombineLatestForwardsAnErrorFromEitherSide) {
  auto left = subject<int>();
  auto right = subject<int>();
  Recorder<std::tuple<int, int>> recorder;
  recorder.subscribeTo(Signal<int>(left).combineLatestWith(Signal<int>(right)));
  right->sendError(Error("r", 1));
  ASSERT_TRUE(recorder.error());
  EXPECT_EQ(left->subscriberCount(), 0u);
}

TEST(Operators, ReduceEachAndBooleanCombinators) {
  auto input = subject<std::tuple<int, int, int>>();
  Recorder<int> sums;
  sums.subscribeTo(Signal<std::tuple<int, int, int>>(input).reduceEach(
      [](int a, int b, int c) { return a * 100 + b * 10 + c; }));
  input->sendNext({1, 2, 3});
  EXPECT_EQ(sums.values(), std::vector<int>{123});

  auto flags = subject<std::tuple<bool, bool, bool>>();
  Recorder<bool> all;
  Recorder<bool> any;
  all.subscribeTo(Signal<std::tuple<bool, bool, bool>>(flags).logicalAnd());
  any.subscribeTo(Signal<std::tuple<bool, bool, bool>>(flags).logicalOr());
  flags->sendNext({true, true, true});
  flags->sendNext({true, false, true});
  flags->sendNext({false, false, false});
  EXPECT_EQ(all.values(), (std::vector<bool>{true, false, false}));
  EXPECT_EQ(any.values(), (std::vector<bool>{true, true, false}));

  Recorder<bool> negated;
  negated.subscribeTo(Signal<bool>::just(false).logicalNot());
  EXPECT_EQ(negated.values(), std::vector<bool>{true});
}

TEST(Operators, AndOrWithSignalWaitForBothSides) {
  auto a = subject<bool>();
  auto b = subject<bool>();
  Recorder<bool> both;
  Recorder<bool> either;
  both.subscribeTo(Signal<bool>(a).andWithSignal(b));
  either.subscribeTo(Signal<bool>(a).orWithSignal(b));
  a->sendNext(true);
  EXPECT_TRUE(both.values().empty());
  b->sendNext(false);
  b->sendNext(true);
  EXPECT_EQ(both.values(), (std::vector<bool>{false, true}));
  EXPECT_EQ(either.values(), (std::vector<bool>{true, true}));
}

TEST(Operators, DeliverOnTheMainThreadSchedulerWaitsForTheCurrentBlockAndKeepsOrder) {
  auto input = subject<int>();
  std::vector<std::string> order;
  auto subscription = Signal<int>(input)
                          .deliverOn(Scheduler::mainThreadScheduler())
                          .subscribeNext([&](const int& v) { order.push_back(std::to_string(v)); });
  mainQueue().post([&] {
    for (int i = 0; i < 5; ++i) input->sendNext(i);
    order.push_back("block ends");
  });
  ASSERT_TRUE(mainLoop().runUntil([&] { return order.size() == 6; }, 5s));
  EXPECT_EQ(order, (std::vector<std::string>{"block ends", "0", "1", "2", "3", "4"}));
}

TEST(Operators, DeliverOnABackgroundSchedulerKeepsOrderAndTerminalEventLast) {
  auto input = subject<int>();
  auto scheduler = Scheduler::scheduler();
  Recorder<int> recorder;
  std::atomic<bool> wrongThread{false};
  recorder.subscribeTo(Signal<int>(input).deliverOn(scheduler).map([&](int v) {
    if (Scheduler::currentScheduler() != scheduler) wrongThread = true;
    return v;
  }));
  for (int i = 0; i < 1000; ++i) input->sendNext(i);
  input->sendCompleted();
  ASSERT_TRUE(recorder.waitForTerminal());
  auto values = recorder.values();
  ASSERT_EQ(values.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(values[i], i);
  EXPECT_TRUE(recorder.completed());
  EXPECT_FALSE(wrongThread);
}

TEST(Operators, DeliverOnDropsQueuedEventsAfterDisposal) {
  auto input = subject<int>();
  Recorder<int> recorder;
  auto subscription =
      recorder.subscribeTo(Signal<int>(input).deliverOn(Scheduler::mainThreadScheduler()));
  input->sendNext(1);
  subscription->dispose();
  bool drained = false;
  Scheduler::mainThreadScheduler()->schedule([&] { drained = true; });
  ASSERT_TRUE(mainLoop().runUntil([&] { return drained; }, 5s));
  EXPECT_TRUE(recorder.values().empty());
}

TEST(Operators, TakeSkipConcatAndTakeUntil) {
  auto input = subject<int>();
  auto trigger = subject<Unit>();
  Recorder<int> taken;
  Recorder<int> skipped;
  Recorder<int> until;
  taken.subscribeTo(Signal<int>(input).take(2));
  skipped.subscribeTo(Signal<int>(input).skip(2));
  until.subscribeTo(Signal<int>(input).takeUntil(Signal<Unit>(trigger)));
  input->sendNext(1);
  input->sendNext(2);
  trigger->sendNext(Unit{});
  input->sendNext(3);
  EXPECT_EQ(taken.values(), (std::vector<int>{1, 2}));
  EXPECT_TRUE(taken.completed());
  EXPECT_EQ(skipped.values(), std::vector<int>{3});
  EXPECT_EQ(until.values(), (std::vector<int>{1, 2}));
  EXPECT_TRUE(until.completed());

  Recorder<int> joined;
  joined.subscribeTo(Signal<int>::just(1).concat(Signal<int>(input)));
  input->sendNext(4);
  EXPECT_EQ(joined.values(), (std::vector<int>{1, 4}));
}

TEST(Operators, IfThenElseResubscribesOnEveryBoolean) {
  auto condition = subject<bool>();
  int trueSubscriptions = 0;
  int falseSubscriptions = 0;
  auto whenTrue =
      Signal<std::string>::create([&](const SubscriberPtr<std::string>& s) -> DisposablePtr {
        s->sendNext("true#" + std::to_string(++trueSubscriptions));
        return nullptr;
      });
  auto live = subject<std::string>();
  auto whenFalse =
      Signal<std::string>(live).startWith("false#" + std::to_string(++falseSubscriptions));
  Recorder<std::string> recorder;
  recorder.subscribeTo(
      Signal<std::string>::ifThenElse(Signal<bool>(condition), whenTrue, whenFalse));
  condition->sendNext(true);
  condition->sendNext(false);
  live->sendNext("live");
  condition->sendNext(true);
  live->sendNext("ignored: false branch was left");
  condition->sendNext(true);
  EXPECT_EQ(recorder.values(),
            (std::vector<std::string>{"true#1", "false#1", "live", "true#2", "true#3"}));
  EXPECT_EQ(trueSubscriptions, 3);
  EXPECT_EQ(live->subscriberCount(), 0u);
}

TEST(Operators, IfThenElseCompletesWhenConditionAndChosenSignalHaveCompleted) {
  auto condition = subject<bool>();
  auto chosen = subject<int>();
  Recorder<int> recorder;
  recorder.subscribeTo(
      Signal<int>::ifThenElse(Signal<bool>(condition), Signal<int>(chosen), Signal<int>::never()));
  condition->sendNext(true);
  condition->sendCompleted();
  EXPECT_FALSE(recorder.completed());
  chosen->sendNext(1);
  chosen->sendCompleted();
  EXPECT_TRUE(recorder.completed());
  EXPECT_EQ(recorder.values(), std::vector<int>{1});
}

TEST(Operators, MergeCopiesTheCollectionAndCompletesWhenAllHave) {
  auto a = subject<int>();
  auto b = subject<int>();
  std::list<Signal<int>> signals{Signal<int>(a), Signal<int>(b)};
  auto merged = Signal<int>::merge(signals);
  signals.clear();
  Recorder<int> recorder;
  recorder.subscribeTo(merged);
  a->sendNext(1);
  b->sendNext(2);
  a->sendNext(3);
  a->sendCompleted();
  EXPECT_FALSE(recorder.completed());
  b->sendCompleted();
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(recorder.completed());

  int evaluated = 0;
  auto lazy = std::views::iota(0, 3) | std::views::transform([&](int i) {
                ++evaluated;
                return Signal<int>::just(i);
              });
  Recorder<int> fromRange;
  fromRange.subscribeTo(Signal<int>::merge(lazy));
  EXPECT_EQ(evaluated, 3);
  EXPECT_EQ(fromRange.values(), (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(fromRange.completed());

  Recorder<int> none;
  none.subscribeTo(Signal<int>::merge(std::vector<Signal<int>>{}));
  EXPECT_TRUE(none.completed());
}

TEST(Operators, IntervalSendsEveryIntervalFromSubscriptionUntilDisposed) {
  auto scheduler = VirtualTimeScheduler::create();
  const auto start = scheduler->now();
  Recorder<SchedulerTime> recorder;
  auto subscription = recorder.subscribeTo(interval(3.0, scheduler));
  scheduler->advanceBySeconds(2.999);
  EXPECT_EQ(recorder.count(), 0u);
  scheduler->advanceBySeconds(0.001);
  ASSERT_EQ(recorder.count(), 1u);
  EXPECT_EQ(recorder.values()[0] - start, 3s);
  scheduler->advanceBySeconds(6);
  ASSERT_EQ(recorder.count(), 3u);
  EXPECT_EQ(recorder.values()[2] - start, 9s);
  subscription->dispose();
  scheduler->advanceBySeconds(30);
  EXPECT_EQ(recorder.count(), 3u);
  EXPECT_FALSE(recorder.completed());
  EXPECT_EQ(scheduler->pendingCount(), 0u);
}

TEST(Extensions, BlockOnValueForDurationClosesTheGateAfterEachValue) {
  auto scheduler = VirtualTimeScheduler::create();
  auto presses = subject<Unit>();
  Recorder<bool> gate;
  auto subscription =
      gate.subscribeTo(Signal<Unit>(presses).blockOnValueForDuration(0.75, scheduler));
  EXPECT_EQ(gate.values(), std::vector<bool>{true});
  presses->sendNext(Unit{});
  EXPECT_EQ(gate.values(), (std::vector<bool>{true, false}));
  scheduler->advanceBySeconds(0.749);
  EXPECT_EQ(gate.count(), 2u);
  scheduler->advanceBySeconds(0.001);
  EXPECT_EQ(gate.values(), (std::vector<bool>{true, false, true}));

  // A second value while closed does not postpone the first reopening.
  presses->sendNext(Unit{});
  scheduler->advanceBySeconds(0.5);
  presses->sendNext(Unit{});
  scheduler->advanceBySeconds(0.25);
  EXPECT_EQ(gate.values(), (std::vector<bool>{true, false, true, false, false, true}));
  scheduler->advanceBySeconds(0.5);
  EXPECT_EQ(gate.values(), (std::vector<bool>{true, false, true, false, false, true, true}));

  // Neither completion nor error of the input reaches the gate.
  presses->sendCompleted();
  EXPECT_FALSE(gate.completed());
  EXPECT_EQ(gate.terminals(), 0);
}

TEST(Extensions, BlockOnValueForDurationReopeningAfterDisposalReachesNobody) {
  auto scheduler = VirtualTimeScheduler::create();
  auto presses = subject<int>();
  Recorder<bool> gate;
  auto subscription =
      gate.subscribeTo(Signal<int>(presses).blockOnValueForDuration(1.0, scheduler));
  presses->sendNext(1);
  subscription->dispose();
  scheduler->advanceBySeconds(2);
  EXPECT_EQ(gate.values(), (std::vector<bool>{true, false}));
}

TEST(Extensions, BlockOnValueForDurationReopensOnTheMainQueueByDefault) {
  auto presses = subject<int>();
  std::mutex mutex;
  std::vector<std::pair<bool, bool>> events;  // value, delivered on the main thread
  auto subscription =
      Signal<int>(presses).blockOnValueForDuration(0.01).subscribeNext([&](const bool& open) {
        std::lock_guard lock(mutex);
        events.emplace_back(open, Scheduler::isOnMainThread());
      });
  std::thread([&] { presses->sendNext(1); }).join();
  ASSERT_TRUE(mainLoop().runUntil(
      [&] {
        std::lock_guard lock(mutex);
        return events.size() == 3;
      },
      5s));
  std::lock_guard lock(mutex);
  EXPECT_EQ(events,
            (std::vector<std::pair<bool, bool>>{{true, true}, {false, false}, {true, true}}));
}

TEST(Extensions, FlipSwitchFlipsOnEveryValue) {
  auto input = subject<int>();
  Recorder<bool> withStart;
  Recorder<bool> withoutStart;
  withStart.subscribeTo(Signal<int>(input).asFlipSwitchStartingWith(false, true));
  withoutStart.subscribeTo(Signal<int>(input).asFlipSwitchStartingWith(true, false));
  for (int i = 0; i < 3; ++i) input->sendNext(i);
  EXPECT_EQ(withStart.values(), (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(withoutStart.values(), (std::vector<bool>{false, true, false}));
}

}  // namespace
}  // namespace qur
