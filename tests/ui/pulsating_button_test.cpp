// The talk button's mechanics: tracking, ripples that grow, fade and go, the
// bound on live ripples from a pulse signal, and a destroyed button.
#include "ui/pulsating_button.h"

#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QVariantAnimation>
#include <thread>

#include "signals/signal_operators.h"
#include "signals/subject.h"
#include "ui/styles.h"
#include "ui_test_support.h"

namespace qur {
namespace {

using testing::advance;
using testing::advanceAnimations;
using testing::grabImage;
using testing::processMainQueue;
using testing::Recorder;
using testing::sameColour;

TEST(PulsatingButtonTracking, DisabledRefusesAndEventsPrecedeThePressedChange) {
  PulsatingButton button;
  button.resize(100, 100);
  Recorder<bool> pressed(button.pressedValues());
  std::vector<std::string> order;
  QObject::connect(&button, &PulsatingButton::touchDown, [&] {
    order.push_back(std::string("down pressed=") + (button.isPressed() ? "1" : "0"));
  });
  QObject::connect(&button, &PulsatingButton::touchUpInside, [&] {
    order.push_back(std::string("inside pressed=") + (button.isPressed() ? "1" : "0"));
  });
  QObject::connect(&button, &PulsatingButton::touchUpOutside, [&] { order.push_back("outside"); });
  QObject::connect(&button, &PulsatingButton::touchCancel, [&] { order.push_back("cancel"); });

  button.setButtonEnabled(false);
  EXPECT_FALSE(button.beginTracking());
  EXPECT_FALSE(button.isPressed());
  EXPECT_TRUE(order.empty());

  button.setButtonEnabled(true);
  ASSERT_TRUE(button.beginTracking());
  // Disabling during a press does not end it (the talk button is disabled
  // for the first 0.75 s of every press).
  button.setButtonEnabled(false);
  EXPECT_TRUE(button.isPressed());
  button.endTracking(true);
  button.setButtonEnabled(true);
  button.beginTracking();
  button.endTracking(false);
  button.beginTracking();
  button.cancelTracking();
  // An end without a begin changes nothing.
  button.endTracking(true);
  EXPECT_EQ(order, (std::vector<std::string>{"down pressed=0", "inside pressed=1", "down pressed=0",
                                             "outside", "down pressed=0", "cancel"}));
  EXPECT_EQ(pressed.values(), (std::vector<bool>{false, true, false, true, false, true, false}));
}

TEST(PulsatingButtonTracking, MouseOnTheCircleOnlyPressesAndReleaseOutsideIsReported) {
  PulsatingButton button;
  button.resize(100, 100);
  button.show();
  QSignalSpy outside(&button, &PulsatingButton::touchUpOutside);
  // The transparent corner is not the button.
  QMouseEvent cornerPress(QEvent::MouseButtonPress, QPointF(3, 3), QPointF(3, 3), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&button, &cornerPress);
  EXPECT_FALSE(button.isPressed());
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(50, 50), QPointF(50, 50), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&button, &press);
  EXPECT_TRUE(button.isPressed());
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(150, 50), QPointF(150, 50),
                      Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&button, &release);
  EXPECT_FALSE(button.isPressed());
  EXPECT_EQ(outside.count(), 1);
}

TEST(PulsatingButtonRipples, GrowFadeAndAreRemovedExactlyAtTheirEnd) {
  PulsatingButton button;
  button.resize(40, 40);
  const QColor colour(100, 150, 200, 128);
  int completions = 0;
  double scaleAtCompletion = 0;
  button.pulse(colour, 3.0f, 2.0, [&](const PulsatingButton::Ripple& ripple) {
    ++completions;
    scaleAtCompletion = ripple.scale();
  });
  ASSERT_EQ(button.rippleCount(), 1u);
  const auto& ripple = button.ripples().front();
  advanceAnimations(&button, 0.0);
  EXPECT_NEAR(ripple.scale(), 1.0, 0.02);
  EXPECT_NEAR(ripple.opacity(), colour.alphaF(), 0.01);
  advanceAnimations(&button, 1.0);
  EXPECT_NEAR(ripple.scale(), 2.0, 0.02);
  EXPECT_NEAR(ripple.opacity(), colour.alphaF() / 2, 0.01);
  advanceAnimations(&button, 0.99);
  EXPECT_EQ(button.rippleCount(), 1u);
  EXPECT_EQ(completions, 0);
  advanceAnimations(&button, 0.01);
  EXPECT_EQ(button.rippleCount(), 0u);
  EXPECT_EQ(completions, 1);
  EXPECT_NEAR(scaleAtCompletion, 3.0, 1e-6);
  processMainQueue();
  // The finished animation is gone too, not only the ripple.
  EXPECT_TRUE(button.findChildren<QVariantAnimation*>().isEmpty());
}

TEST(PulsatingButtonRipples, AnAnimationStoppedEarlyStillRemovesItsRipple) {
  PulsatingButton button;
  button.resize(40, 40);
  int completions = 0;
  button.pulse(Qt::red, 2.0f, 5.0, [&](const PulsatingButton::Ripple&) { ++completions; });
  button.pulse(Qt::blue, 2.0f, 5.0);
  auto animations = button.findChildren<QVariantAnimation*>();
  ASSERT_EQ(animations.size(), 2);
  animations.front()->stop();
  EXPECT_EQ(button.rippleCount(), 1u);
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(button.ripples().front().color, QColor(Qt::blue));
}

TEST(PulsatingButtonRipples, APulseSignalKeepsTheLiveRipplesBoundedByRateTimesDuration) {
  auto clock = VirtualTimeScheduler::create();
  PulsatingButton button;
  button.resize(40, 40);
  const double period = 2.0 / 3.0;
  const double duration = 2.5;
  button.pulseOnSignal(interval(period, clock).startWith(clock->now()), Qt::red, 3.5f, duration);
  std::size_t most = 0;
  for (int i = 0; i < 200; ++i) {
    advance(*clock, &button, 0.05);
    most = std::max(most, button.rippleCount());
  }
  // 10 s: one at once and one every 2/3 s, each living 2.5 s.
  EXPECT_EQ(button.pulseCount(), 16u);
  EXPECT_EQ(most, std::size_t(std::ceil(duration / period)));
  EXPECT_LE(button.rippleCount(), most);
}

TEST(PulsatingButtonRipples, TwoSignalsOverlapAndEachRippleEndsOnItsOwn) {
  auto clock = VirtualTimeScheduler::create();
  PulsatingButton button;
  button.resize(40, 40);
  auto fast = Subject<int>::create();
  auto slow = Subject<int>::create();
  button.pulseOnSignal(Signal<int>(fast), Qt::red, 3.5f, 1.0);
  button.pulseOnSignal(Signal<int>(slow), Qt::blue, 2.0f, 3.0);
  fast->sendNext(1);
  slow->sendNext(1);
  processMainQueue();
  EXPECT_EQ(button.rippleCount(), 2u);
  advance(*clock, &button, 1.05);
  ASSERT_EQ(button.rippleCount(), 1u);
  EXPECT_EQ(button.ripples().front().color, QColor(Qt::blue));
  advance(*clock, &button, 2.0);
  EXPECT_EQ(button.rippleCount(), 0u);
}

TEST(PulsatingButtonRipples, ValuesFromAnotherThreadArriveOnTheMainThreadAndNotAfterDestruction) {
  auto values = Subject<int>::create();
  auto button = std::make_unique<PulsatingButton>();
  button->resize(40, 40);
  button->pulseOnSignal(Signal<int>(values), Qt::red, 2.0f, 1.0);
  std::thread sender([&] { values->sendNext(1); });
  sender.join();
  // Delivered one main-thread turn later, never on the sender's thread.
  EXPECT_EQ(button->rippleCount(), 0u);
  processMainQueue();
  EXPECT_EQ(button->rippleCount(), 1u);

  // A value queued for the main thread while the button goes away fires nothing.
  values->sendNext(2);
  button.reset();
  processMainQueue();
  std::thread late([&] { values->sendNext(3); });
  late.join();
  processMainQueue();
}

TEST(PulsatingButtonPainting, TheCircleCarriesTheColourAndTheCornersStayClear) {
  PulsatingButton button;
  button.resize(100, 60);
  button.setBackgroundColor(Styles::transmitButtonColor());
  EXPECT_EQ(button.circleRect(), QRectF(20, 0, 60, 60));
  QImage image(100, 60, QImage::Format_ARGB32);
  image.fill(Qt::black);
  button.render(&image);
  EXPECT_TRUE(sameColour(image.pixelColor(50, 30), Styles::transmitButtonColor()));
  EXPECT_EQ(image.pixelColor(2, 2), QColor(Qt::black));
  EXPECT_EQ(image.pixelColor(21, 2), QColor(Qt::black));

  // Its own ripples paint around the circle when it has no canvas.
  button.pulse(QColor(255, 0, 0, 255), 1.5f, 1.0);
  advanceAnimations(&button, 0.5);
  image.fill(Qt::black);
  button.render(&image);
  const QColor ring = image.pixelColor(50 - 36, 30);
  EXPECT_GT(ring.red(), 80);
  EXPECT_LT(ring.green(), 10);
}

}  // namespace
}  // namespace qur
