// Adapters between widgets and signals, and the main queue over Qt's loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFocusEvent>
#include <QPushButton>
#include <QSlider>
#include <QThread>
#include <atomic>
#include <map>
#include <thread>

#include "signals/main_queue.h"
#include "signals/notification_center.h"
#include "signals/signal_operators.h"
#include "signals/subject.h"
#include "ui/ui_adapters.h"
#include "ui_test_support.h"

namespace qur {
namespace {

using testing::processMainQueue;
using testing::Recorder;
using testing::spinUntil;

TEST(QtMainQueueConcurrency, BlocksFromManyThreadsRunOnTheGuiThreadInEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kBlocks = 2000;
  std::map<int, std::vector<int>> seen;
  std::atomic<int> offThread{0};
  std::atomic<int> ran{0};
  QThread* gui = QCoreApplication::instance()->thread();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kBlocks; ++i) {
        mainQueue().post([&, t, i, gui] {
          if (QThread::currentThread() != gui || !mainQueue().isMainThread()) ++offThread;
          seen[t].push_back(i);
          ++ran;
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(spinUntil([&] { return ran.load() == kThreads * kBlocks; }));
  EXPECT_EQ(offThread.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), std::size_t(kBlocks));
    for (int i = 0; i < kBlocks; ++i) ASSERT_EQ(seen[t][i], i);
  }
  std::thread other([] { EXPECT_FALSE(mainQueue().isMainThread()); });
  other.join();
}

TEST(QtMainQueue, TheMainThreadSchedulerDeliversAfterTheCurrentWorkReturns) {
  std::vector<int> order;
  Signal<int>::just(1).deliverOn(Scheduler::mainThreadScheduler()).subscribeNext([&](const int&) {
    order.push_back(2);
  });
  order.push_back(1);
  processMainQueue();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(ButtonCommand, EnabledFollowsTheCommandAndClicksExecuteWithTheButton) {
  QPushButton button("go");
  auto allowed = Subject<bool>::create();
  std::vector<QAbstractButton*> inputs;
  auto command = std::make_shared<ButtonCommand>(Signal<bool>(allowed).startWith(true),
                                                 [&](QAbstractButton* const& input) {
                                                   inputs.push_back(input);
                                                   return Signal<Unit>::empty();
                                                 });
  setCommand(&button, command);
  EXPECT_EQ(qur::command(&button), command);
  EXPECT_TRUE(button.isEnabled());
  button.click();
  processMainQueue();
  EXPECT_EQ(inputs, std::vector<QAbstractButton*>{&button});

  allowed->sendNext(false);
  processMainQueue();
  EXPECT_FALSE(button.isEnabled());
  // A click on a disabled button does nothing (Qt does not even deliver it).
  button.click();
  processMainQueue();
  EXPECT_EQ(inputs.size(), 1u);

  // Replacing the command ends the old binding.
  auto other = std::make_shared<ButtonCommand>(
      [](QAbstractButton* const&) { return Signal<Unit>::empty(); });
  setCommand(&button, other);
  processMainQueue();
  EXPECT_TRUE(button.isEnabled());
  allowed->sendNext(false);
  processMainQueue();
  EXPECT_TRUE(button.isEnabled());
  button.click();
  processMainQueue();
  EXPECT_EQ(inputs.size(), 1u);
}

TEST(ButtonCommand, ACommandFromAnotherThreadsEnabledSignalTouchesTheButtonOnTheMainThread) {
  QPushButton button("go");
  auto allowed = Subject<bool>::create();
  auto command = std::make_shared<Command<Unit, Unit>>(
      Signal<bool>(allowed), [](const Unit&) { return Signal<Unit>::empty(); });
  setCommand(&button, command);
  std::thread sender([&] { allowed->sendNext(false); });
  sender.join();
  ASSERT_TRUE(spinUntil([&] { return !button.isEnabled(); }));
}

TEST(SliderChannel, ChangesFlowOutValuesFlowInAndTheEndFollowsTheSlider) {
  auto* slider = new QSlider(Qt::Horizontal);
  slider->setRange(0, 100);
  slider->setValue(10);
  auto channel = newValueChannel(slider, 42);
  bool completed = false;
  std::vector<int> values;
  auto subscription = channel->signal().subscribeNext(
      [&](const std::optional<int>& value) { values.push_back(value.value_or(-1)); },
      [&] { completed = true; });
  // Nothing is replayed at subscription.
  EXPECT_TRUE(values.empty());
  slider->setValue(20);
  channel->sendNext(std::optional<int>(30));
  EXPECT_EQ(slider->value(), 30);
  channel->sendNext(std::nullopt);
  EXPECT_EQ(slider->value(), 42);
  // Values outside the slider's range are clamped by the slider, not passed on raw.
  channel->sendNext(std::optional<int>(1000));
  EXPECT_EQ(slider->value(), 100);
  EXPECT_EQ(values, (std::vector<int>{20, 30, 42, 100}));
  EXPECT_FALSE(completed);
  delete slider;
  EXPECT_TRUE(completed);
  // Sending into a channel whose slider is gone is harmless.
  channel->sendNext(std::optional<int>(5));
  subscription->dispose();
}

TEST(ApplicationActivity, HidingOrMinimizingResignsShowingReturnsFocusLossDoesNot) {
  QWidget window;
  auto* notifier = new ApplicationActivityNotifier(&window);
  Recorder<Notification> posted(NotificationCenter::defaultCenter().addObserverForNames(
      {kApplicationWillResignActiveNotification, kApplicationDidBecomeActiveNotification},
      QCoreApplication::instance()));
  window.show();
  processMainQueue();
  window.hide();
  processMainQueue();
  window.show();
  processMainQueue();
  QFocusEvent focusOut(QEvent::FocusOut);
  QCoreApplication::sendEvent(&window, &focusOut);
  window.showMinimized();
  processMainQueue();
  std::vector<std::string> names;
  for (const auto& n : posted.values()) names.push_back(n.name);
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[0], kApplicationWillResignActiveNotification);
  EXPECT_EQ(names[1], kApplicationDidBecomeActiveNotification);
  EXPECT_EQ(notifier->isActive(), !window.isMinimized());
  for (std::size_t i = 1; i < names.size(); ++i) EXPECT_NE(names[i], names[i - 1]);
}

}  // namespace
}  // namespace qur
