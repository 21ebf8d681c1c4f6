#include <gtest/gtest.h>

#include "recorder.h"
#include "signals/command.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::mainLoop;
using testing::Recorder;

TEST(Command, DisabledCommandFailsWithCodeOneWithoutCallingTheBlock) {
  auto enabled = Subject<bool>::create();
  int calls = 0;
  Command<int, int> command(Signal<bool>(enabled), [&](const int& v) {
    ++calls;
    return Signal<int>::just(v);
  });
  enabled->sendNext(false);
  Recorder<int> recorder;
  recorder.subscribeTo(command.execute(1));
  EXPECT_EQ(calls, 0);
  ASSERT_TRUE(recorder.error());
  EXPECT_EQ(recorder.error()->domain, "QURCommandErrorDomain");
  EXPECT_EQ(recorder.error()->code, 1);
  EXPECT_EQ(recorder.error()->description, "The command is disabled and cannot be executed");
  ASSERT_TRUE(recorder.error()->userInfo.count("QURUnderlyingCommandErrorKey"));
  EXPECT_EQ(
      std::any_cast<const void*>(recorder.error()->userInfo.at("QURUnderlyingCommandErrorKey")),
      static_cast<const void*>(&command));

  enabled->sendNext(true);
  Recorder<int> ok;
  ok.subscribeTo(command.execute(2));
  ASSERT_TRUE(ok.waitForTerminal());
  EXPECT_EQ(ok.values(), std::vector<int>{2});
  EXPECT_EQ(calls, 1);
}

TEST(Command, ExecutingGoesTrueThenFalseAndExecutionStartsOnTheMainQueueLater) {
  bool started = false;
  auto finish = Subject<Unit>::create();
  Command<Unit, Unit> command([&](const Unit&) {
    return Signal<Unit>::create([&](const SubscriberPtr<Unit>& subscriber) {
      started = true;
      EXPECT_TRUE(Scheduler::isOnMainThread());
      return Signal<Unit>(finish).take(1).subscribe(subscriber);
    });
  });
  Recorder<bool> executing;
  executing.subscribeTo(command.executing());
  EXPECT_EQ(executing.values(), std::vector<bool>{false});

  auto execution = command.execute(Unit{});
  EXPECT_FALSE(started);  // the work starts on the main queue, not inside execute()
  ASSERT_TRUE(mainLoop().runUntil([&] { return started; }, 5s));
  ASSERT_TRUE(executing.waitForCount(2));
  finish->sendNext(Unit{});
  ASSERT_TRUE(executing.waitForCount(3));
  EXPECT_EQ(executing.values(), (std::vector<bool>{false, true, false}));
}

TEST(Command, IsDisabledWhileExecutingUnlessConcurrentExecutionIsAllowed) {
  auto finish = Subject<int>::create();
  Command<int, int> command([&](const int&) { return Signal<int>(finish).take(1); });
  Recorder<bool> enabled;
  enabled.subscribeTo(command.enabled());
  EXPECT_EQ(enabled.values(), std::vector<bool>{true});

  Recorder<int> first;
  first.subscribeTo(command.execute(1));
  // Disabled before any work starts.
  Recorder<int> second;
  second.subscribeTo(command.execute(2));
  ASSERT_TRUE(second.error());
  EXPECT_EQ(second.error()->code, 1);
  ASSERT_TRUE(enabled.waitForCount(2));
  EXPECT_EQ(enabled.values(), (std::vector<bool>{true, false}));

  mainLoop().drain();
  finish->sendNext(10);
  ASSERT_TRUE(first.waitForTerminal());
  EXPECT_EQ(first.values(), std::vector<int>{10});
  ASSERT_TRUE(enabled.waitForCount(3));
  EXPECT_EQ(enabled.values(), (std::vector<bool>{true, false, true}));

  command.setAllowsConcurrentExecution(true);
  EXPECT_TRUE(command.allowsConcurrentExecution());
  Recorder<int> a;
  Recorder<int> b;
  a.subscribeTo(command.execute(1));
  b.subscribeTo(command.execute(2));
  EXPECT_FALSE(b.error());
  mainLoop().drain();
  finish->sendNext(20);
  ASSERT_TRUE(a.waitForTerminal());
  ASSERT_TRUE(b.waitForTerminal());
  EXPECT_EQ(a.values(), std::vector<int>{20});
  EXPECT_EQ(b.values(), std::vector<int>{20});
}

TEST(Command, OneExecutionIsSharedByEverySubscriberWithReplay) {
  int subscriptions = 0;
  Command<int, int> command([&](const int& v) {
    return Signal<int>::create([&, v](const SubscriberPtr<int>& subscriber) -> DisposablePtr {
      ++subscriptions;
      subscriber->sendNext(v);
      subscriber->sendNext(v + 1);
      subscriber->sendCompleted();
      return nullptr;
    });
  });
  auto execution = command.execute(5);
  Recorder<int> early;
  early.subscribeTo(execution);
  ASSERT_TRUE(early.waitForTerminal());
  Recorder<int> late;
  late.subscribeTo(execution);
  EXPECT_EQ(subscriptions, 1);
  EXPECT_EQ(early.values(), (std::vector<int>{5, 6}));
  EXPECT_EQ(late.values(), (std::vector<int>{5, 6}));
  EXPECT_TRUE(late.completed());
}

TEST(Command, ErrorsAndExecutionSignalsArriveOnTheMainThread) {
  Command<int, int> command([](const int& v) {
    if (v < 0) return Signal<int>::error(Error("test", v));
    return Signal<int>::just(v);
  });
  Recorder<Error> errors;
  errors.subscribeTo(command.errors());
  Recorder<int> flattened;
  std::vector<DisposablePtr> inner;
  auto executions = command.executionSignals().subscribeNext([&](const Signal<int>& execution) {
    EXPECT_TRUE(Scheduler::isOnMainThread());
    inner.push_back(flattened.subscribeTo(execution));
  });
  Recorder<int> failing;
  failing.subscribeTo(command.execute(-3));
  ASSERT_TRUE(errors.waitForCount(1));
  EXPECT_EQ(errors.values()[0].code, -3);
  ASSERT_TRUE(failing.error());
  mainLoop().drain();
  command.execute(4);
  ASSERT_TRUE(flattened.waitForCount(1));
  EXPECT_EQ(flattened.values(), std::vector<int>{4});
  // The failing execution reached executionSignals as plain completion.
  EXPECT_FALSE(flattened.error());
}

TEST(Command, EnabledFollowsTheEnabledSignalAndEndsWithTheCommand) {
  auto source = Subject<bool>::create();
  auto command = std::make_unique<Command<Unit>>(Signal<bool>(source),
                                                 [](const Unit&) { return Signal<Unit>::empty(); });
  Recorder<bool> enabled;
  enabled.subscribeTo(command->enabled());
  source->sendNext(false);
  ASSERT_TRUE(enabled.waitForCount(2));
  source->sendNext(true);
  ASSERT_TRUE(enabled.waitForCount(3));
  EXPECT_EQ(enabled.values(), (std::vector<bool>{true, false, true}));
  command.reset();
  EXPECT_EQ(source->subscriberCount(), 0u);
}

}  // namespace
}  // namespace qur
