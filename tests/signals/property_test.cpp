#include <gtest/gtest.h>

#include <thread>

#include "recorder.h"
#include "signals/property.h"
#include "signals/subject.h"
#include "support/log_capture.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::mainLoop;
using testing::Recorder;

TEST(Property, SendsTheCurrentValueOnSubscriptionThenEverySetEvenUnchanged) {
  Property<bool> connected(false);
  Recorder<bool> recorder;
  recorder.subscribeTo(connected.values());
  EXPECT_EQ(recorder.values(), std::vector<bool>{false});
  connected.set(true);
  connected.set(true);
  connected = false;
  EXPECT_EQ(recorder.values(), (std::vector<bool>{false, true, true, false}));
  EXPECT_FALSE(connected.get());
}

TEST(Property, DeliversSynchronouslyOnTheSettingThread) {
  Property<int> value(0);
  std::thread::id deliveredOn;
  auto subscription = value.values().skip(1).subscribeNext(
      [&](const int&) { deliveredOn = std::this_thread::get_id(); });
  std::thread::id setter;
  std::thread([&] {
    setter = std::this_thread::get_id();
    value.set(1);
  }).join();
  EXPECT_EQ(deliveredOn, setter);
}

TEST(Property, CompletesWhenItsOwnerIsDestroyed) {
  struct Owner {
    Property<std::string> name{"a"};
  };
  auto owner = std::make_unique<Owner>();
  Recorder<std::string> recorder;
  auto signal = owner->name.values();
  recorder.subscribeTo(signal);
  owner->name.set("b");
  owner.reset();
  EXPECT_EQ(recorder.values(), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(recorder.completed());

  Recorder<std::string> late;
  late.subscribeTo(signal);
  EXPECT_TRUE(late.completed());
  EXPECT_TRUE(late.values().empty());
}

TEST(Property, DisposedObservationStopsAndLeavesTheProperty) {
  Property<int> value(1);
  Recorder<int> recorder;
  auto subscription = recorder.subscribeTo(value.values());
  subscription->dispose();
  value.set(2);
  EXPECT_EQ(recorder.values(), std::vector<int>{1});
}

TEST(Property, ObserverThatSetsThePropertyItObservesSeesTheNewestValueLast) {
  Property<int> value(0);
  std::vector<int> first;
  std::vector<int> second;
  auto a = value.values().subscribeNext([&](const int& v) {
    first.push_back(v);
    if (v == 1) value.set(2);
  });
  auto b = value.values().subscribeNext([&](const int& v) { second.push_back(v); });
  value.set(1);
  EXPECT_EQ(first, (std::vector<int>{0, 1, 2}));
  // The second observer was overtaken by the nested set: it ends on the newest value.
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(second.back(), 2);
  EXPECT_EQ(value.get(), 2);
}

TEST(Binding, SendsSignalValuesIntoAPropertyUntilTheSignalCompletes) {
  auto source = Subject<int>::create();
  Property<int> target(0);
  Recorder<int> recorder;
  recorder.subscribeTo(target.values());
  auto binding = bindSignal(Signal<int>(source), target);
  source->sendNext(5);
  source->sendNext(5);
  source->sendCompleted();
  EXPECT_TRUE(binding->isDisposed());
  EXPECT_EQ(recorder.values(), (std::vector<int>{0, 5, 5}));
}

TEST(Binding, NilIsReplacedByTheNilValue) {
  auto source = Subject<std::optional<std::string>>::create();
  Property<std::string> target("initial");
  auto binding = bindSignalWithNilValue(Signal<std::optional<std::string>>(source), target,
                                        std::string("none"));
  source->sendNext("x");
  EXPECT_EQ(target.get(), "x");
  source->sendNext(std::nullopt);
  EXPECT_EQ(target.get(), "none");
}

TEST(Binding, StopsWhenItsTargetIsDestroyed) {
  struct View {
    std::vector<bool> enabledValues;
    void setEnabled(bool enabled) { enabledValues.push_back(enabled); }
    Lifetime lifetime;  // last member: ends first
  };
  auto source = Subject<bool>::create();
  auto view = std::make_unique<View>();
  auto* raw = view.get();
  auto binding = bindSignal(
      Signal<bool>(source), view->lifetime, [raw](bool enabled) { raw->setEnabled(enabled); },
      "enabled");
  source->sendNext(true);
  EXPECT_EQ(view->enabledValues, std::vector<bool>{true});
  view.reset();
  EXPECT_TRUE(binding->isDisposed());
  EXPECT_EQ(source->subscriberCount(), 0u);
  source->sendNext(false);  // must not touch the destroyed view
}

TEST(Binding, BindingToAPropertyEndsWithTheProperty) {
  auto source = Subject<int>::create();
  auto target = std::make_unique<Property<int>>(0);
  auto binding = bindSignal(Signal<int>(source), *target);
  target.reset();
  EXPECT_TRUE(binding->isDisposed());
  source->sendNext(1);
  EXPECT_EQ(source->subscriberCount(), 0u);
}

TEST(Binding, ErrorIsReportedAsAProgrammingFault) {
  testing::LogCapture capture(LogLevelError);
  auto source = Subject<int>::create();
  Property<int> target(0);
  auto binding = bindSignal(
      Signal<int>(source).setName("pressed"), target.lifetime(), [&](int v) { target.set(v); },
      "transmitting");
  source->sendError(Error("QURTestDomain", 4, "broken"));
  EXPECT_EQ(
      capture.count("Received error from pressed in binding for key path \"transmitting\" on"), 1);
  EXPECT_TRUE(capture.contains("QURTestDomain 4: broken"));
}

TEST(Binding, ObservationTiedToAnObserverCompletesWhenTheObserverGoesAway) {
  Property<int> value(3);
  auto observer = std::make_unique<Lifetime>();
  Recorder<int> recorder;
  recorder.subscribeTo(value.values().takeUntil(*observer));
  value.set(4);
  observer.reset();
  value.set(5);
  EXPECT_EQ(recorder.values(), (std::vector<int>{3, 4}));
  EXPECT_TRUE(recorder.completed());
}

}  // namespace
}  // namespace qur
