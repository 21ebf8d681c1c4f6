#include <gtest/gtest.h>

#include "recorder.h"
#include "signals/subject.h"

namespace qur {
namespace {

using testing::Recorder;

TEST(Subject, DropsValuesWithoutSubscribersAndRemembersNothing) {
  auto subject = Subject<int>::create();
  subject->sendNext(1);
  Recorder<int> late;
  late.subscribeTo(subject->signal());
  EXPECT_TRUE(late.values().empty());
  subject->sendNext(2);
  EXPECT_EQ(late.values(), std::vector<int>{2});
}

TEST(Subject, DeliversInSubscriptionOrderOnTheSendersThread) {
  auto subject = Subject<int>::create();
  std::vector<std::string> order;
  subject->signal().subscribeNext([&](const int&) { order.push_back("first"); });
  subject->signal().subscribeNext([&](const int&) { order.push_back("second"); });
  subject->sendNext(1);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
}

TEST(Subject, DisposingDuringDeliveryStopsThatSubscriberOnly) {
  auto subject = Subject<int>::create();
  Recorder<int> other;
  std::vector<int> first;
  DisposablePtr firstSubscription;
  firstSubscription = Signal<int>(subject).subscribeNext([&](const int& v) {
    first.push_back(v);
    firstSubscription->dispose();
  });
  other.subscribeTo(subject->signal());
  subject->sendNext(1);
  subject->sendNext(2);
  EXPECT_EQ(first, std::vector<int>{1});
  EXPECT_EQ(other.values(), (std::vector<int>{1, 2}));
  EXPECT_EQ(subject->subscriberCount(), 1u);
}

TEST(Subject, SubscriberAddedDuringDeliveryGetsOnlyLaterValues) {
  auto subject = Subject<int>::create();
  Recorder<int> added;
  DisposablePtr addedSubscription;
  subject->signal().subscribeNext([&](const int&) {
    if (!addedSubscription) addedSubscription = added.subscribeTo(subject->signal());
  });
  subject->sendNext(1);
  subject->sendNext(2);
  EXPECT_EQ(added.values(), std::vector<int>{2});
}

TEST(Subject, SubscriberThatDisposesALaterOneDuringDeliveryKeepsItFromTheCurrentValue) {
  auto subject = Subject<int>::create();
  Recorder<int> second;
  DisposablePtr secondSubscription;
  subject->signal().subscribeNext([&](const int&) { secondSubscription->dispose(); });
  secondSubscription = second.subscribeTo(subject->signal());
  subject->sendNext(1);
  EXPECT_TRUE(second.values().empty());
}

TEST(Subject, TerminalEventEndsCurrentSubscribersAndTheSubjectsOwnSubscription) {
  auto upstream = Subject<int>::create();
  auto subject = Subject<int>::create();
  auto upstreamSubscription = upstream->signal().subscribe(subject);
  Recorder<int> recorder;
  recorder.subscribeTo(subject->signal());
  upstream->sendNext(1);
  subject->sendCompleted();
  EXPECT_TRUE(upstreamSubscription->isDisposed());
  EXPECT_EQ(upstream->subscriberCount(), 0u);
  EXPECT_EQ(subject->subscriberCount(), 0u);
  subject->sendNext(2);
  EXPECT_EQ(recorder.values(), std::vector<int>{1});
  EXPECT_TRUE(recorder.completed());

  Recorder<int> late;
  late.subscribeTo(subject->signal());
  EXPECT_FALSE(late.completed());
}

TEST(Subject, ErrorReachesSubscribersOnce) {
  auto subject = Subject<int>::create();
  Recorder<int> recorder;
  recorder.subscribeTo(subject->signal());
  subject->sendError(Error("x", 3));
  subject->sendError(Error("x", 4));
  ASSERT_TRUE(recorder.error());
  EXPECT_EQ(recorder.error()->code, 3);
  EXPECT_EQ(recorder.terminals(), 1);
}

TEST(Subject, EndedSubscriptionsLeaveTheList) {
  auto subject = Subject<int>::create();
  auto a = subject->signal().subscribeNext([](const int&) {});
  auto b = subject->signal().take(1).subscribeNext([](const int&) {});
  EXPECT_EQ(subject->subscriberCount(), 2u);
  subject->sendNext(1);
  EXPECT_EQ(subject->subscriberCount(), 1u);
  a->dispose();
  EXPECT_EQ(subject->subscriberCount(), 0u);
}

TEST(Subject, SubscriberMaySendIntoItsOwnSubjectFromItsBlock) {
  auto subject = Subject<int>::create();
  std::vector<int> first;
  std::vector<int> second;
  subject->signal().subscribeNext([&](const int& v) {
    first.push_back(v);
    if (v == 1) subject->sendNext(2);  // re-enters this subscriber's own lock
  });
  subject->signal().subscribeNext([&](const int& v) { second.push_back(v); });
  subject->sendNext(1);
  EXPECT_EQ(first, (std::vector<int>{1, 2}));
  EXPECT_EQ(second, (std::vector<int>{2, 1}));
}

TEST(ReplaySubject, ReplaysEverythingThenGoesLive) {
  auto subject = ReplaySubject<int>::create();
  subject->sendNext(1);
  subject->sendNext(2);
  Recorder<int> recorder;
  recorder.subscribeTo(subject->signal());
  subject->sendNext(3);
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 2, 3}));
  subject->sendCompleted();
  EXPECT_TRUE(recorder.completed());

  Recorder<int> late;
  late.subscribeTo(subject->signal());
  EXPECT_EQ(late.values(), (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(late.completed());
}

TEST(ReplaySubject, CapacityOneReplaysOnlyTheLastValueAndTheError) {
  auto subject = ReplaySubject<int>::create(1);
  subject->sendNext(1);
  subject->sendNext(2);
  subject->sendError(Error("e", 9));
  Recorder<int> recorder;
  recorder.subscribeTo(subject->signal());
  EXPECT_EQ(recorder.values(), std::vector<int>{2});
  ASSERT_TRUE(recorder.error());
  EXPECT_EQ(recorder.error()->code, 9);
  EXPECT_EQ(subject->lastValue(), 2);
}

TEST(ReplaySubject, DisposingDuringReplayStopsIt) {
  auto subject = ReplaySubject<int>::create();
  for (int i = 0; i < 5; ++i) subject->sendNext(i);
  std::vector<int> seen;
  auto subscription =
      subject->signal().take(2).subscribeNext([&](const int& v) { seen.push_back(v); });
  subject->sendNext(5);
  EXPECT_EQ(seen, (std::vector<int>{0, 1}));
}

}  // namespace
}  // namespace qur
