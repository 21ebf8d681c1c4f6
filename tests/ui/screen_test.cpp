// The main screen over a real controller: virtual audio in real time and a
// second controller connected over loopback TCP. The 0.75 s gate and the
// pulse timers run on a virtual clock; colours are read from grabbed pixels.
#include "ui/walkie_talkie_screen.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QTest>

#include "app/walkie_talkie_controller.h"
#include "app/walkie_talkie_peer.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "peers/peer_session.h"
#include "peers/session_controller.h"
#include "screen_core.h"
#include "signals/notification_center.h"
#include "signals/signal_operators.h"
#include "ui/styles.h"
#include "ui/ui_adapters.h"
#include "ui_test_support.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::advance;
using testing::brightPixels;
using testing::Core;
using testing::grabImage;
using testing::processMainQueue;
using testing::Recorder;
using testing::sameColour;
using testing::spinFor;
using testing::spinUntil;

std::string uniqueName(const char* role) {
  return std::string("screen-") + role + "-" + std::to_string(getpid());
}

class WalkieTalkieScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    local = std::make_unique<Core>(uniqueName("local"));
    remote = std::make_unique<Core>(uniqueName("remote"));
    ASSERT_TRUE(local->controller && remote->controller);
    clock = VirtualTimeScheduler::create();
    WalkieTalkieScreen::Options options;
    options.pulseScheduler = clock;
    options.gateScheduler = clock;
    options.inhibitIdle = false;
    screen = std::make_unique<WalkieTalkieScreen>(std::make_shared<AppBridge>(local->controller),
                                                  options);
    screen->show();
    processMainQueue();
  }
  void TearDown() override {
    screen.reset();
    processMainQueue();
  }

  // The remote side invites us, as a peer on the network would.
  void connectPeer() {
    local->session()->setInvitationHandler(acceptAllInvitations());
    remote->session()->invitePeer({"127.0.0.1", local->session()->port()},
                                  local->session()->myPeerID());
    ASSERT_TRUE(spinUntil([&] {
      return local->controller->isConnected() && remote->controller->isConnected() &&
             screen->peerDotView();
    })) << "the two sessions never connected";
    settle();
  }

  // Main-thread work and the dot's fade done, virtual time unmoved.
  void settle() {
    processMainQueue();
    advance(*clock, screen.get(), 0.0);
    processMainQueue();
  }

  QRect talkRect() const { return screen->talkButton()->geometry(); }
  // Inside the circle, above the label.
  QPoint colourSample() const {
    const QRect r = talkRect();
    return QPoint(r.center().x(), r.top() + 60);
  }
  QColor buttonColour() const { return grabImage(screen.get()).pixelColor(colourSample()); }
  int labelPixels() const {
    QWidget* label = screen->talkButton()->labelWidget();
    const QRect area(label->mapTo(screen.get(), QPoint(0, 0)), label->size());
    return brightPixels(grabImage(screen.get()), area);
  }
  std::size_t ripplesOfScale(float scale) const {
    std::size_t count = 0;
    for (const auto& ripple : screen->talkButton()->ripples()) count += ripple.targetScale == scale;
    return count;
  }
  void press() {
    ASSERT_TRUE(screen->talkButton()->beginTracking());
    processMainQueue();
  }
  void release() {
    screen->talkButton()->endTracking(true);
    processMainQueue();
  }

  std::unique_ptr<Core> local;
  std::unique_ptr<Core> remote;
  std::shared_ptr<VirtualTimeScheduler> clock;
  std::unique_ptr<WalkieTalkieScreen> screen;
};

TEST_F(WalkieTalkieScreenTest, NotConnectedTheButtonIsGreyDisabledLabelledNotAndStill) {
  EXPECT_TRUE(sameColour(buttonColour(), Styles::transmitButtonDisabledColor()));
  EXPECT_FALSE(screen->talkButton()->isButtonEnabled());
  EXPECT_FALSE(screen->talkButton()->isLabelShown());
  EXPECT_EQ(labelPixels(), 0);
  advance(*clock, screen.get(), 10.0, 0.25);
  EXPECT_EQ(screen->talkButton()->pulseCount(), 0u);
  EXPECT_TRUE(screen->connectButton()->isEnabled());
  EXPECT_FALSE(screen->disconnectButton()->isEnabled());
  // A press is refused: nothing is sent, and nothing changes colour.
  EXPECT_FALSE(screen->talkButton()->beginTracking());
  EXPECT_FALSE(local->controller->isTransmitting());
  EXPECT_FALSE(screen->peerDotView());
}

TEST_F(WalkieTalkieScreenTest, ConnectedIdleIsBlueEnabledLabelledAndPulsesEveryThreeSeconds) {
  connectPeer();
  EXPECT_TRUE(sameColour(buttonColour(), Styles::transmitButtonColor()));
  EXPECT_TRUE(screen->talkButton()->isButtonEnabled());
  EXPECT_TRUE(screen->talkButton()->isLabelShown());
  EXPECT_GT(labelPixels(), 50);
  // The session holds more than one peer: Connect stays open to invite another.
  EXPECT_TRUE(screen->connectButton()->isEnabled());
  EXPECT_TRUE(screen->disconnectButton()->isEnabled());
  // An idle pulse fired at once.
  EXPECT_GE(ripplesOfScale(2.0f), 1u);
  const auto before = screen->talkButton()->pulseCount();
  advance(*clock, screen.get(), 2.9, 0.1);
  EXPECT_EQ(screen->talkButton()->pulseCount(), before);
  advance(*clock, screen.get(), 0.2, 0.1);
  EXPECT_EQ(screen->talkButton()->pulseCount(), before + 1);
  advance(*clock, screen.get(), 6.0, 0.1);
  EXPECT_EQ(screen->talkButton()->pulseCount(), before + 3);
  // Each lives 2 s: at most one at a time from a 3 s source.
  EXPECT_LE(screen->talkButton()->rippleCount(), 1u);
}

TEST_F(WalkieTalkieScreenTest, PressingTransmitsPulsesFastAndUnlocksAfterTheGate) {
  connectPeer();
  Recorder<bool> transmitting(local->controller->transmittingValues().distinctUntilChanged());
  const auto before = screen->talkButton()->pulseCount();
  press();
  EXPECT_TRUE(local->controller->isTransmitting());
  EXPECT_TRUE(sameColour(buttonColour(), Styles::transmitButtonPressedColor()));
  EXPECT_FALSE(screen->talkButton()->isButtonEnabled());
  EXPECT_FALSE(screen->talkButton()->isLabelShown());
  // The first press pulse at once, not after 2/3 s.
  EXPECT_EQ(screen->talkButton()->pulseCount(), before + 1);
  EXPECT_EQ(ripplesOfScale(3.5f), 1u);
  advance(*clock, screen.get(), 0.7);
  EXPECT_FALSE(screen->talkButton()->isButtonEnabled());
  advance(*clock, screen.get(), 0.1);
  EXPECT_TRUE(screen->talkButton()->isButtonEnabled());
  EXPECT_TRUE(sameColour(buttonColour(), Styles::transmitButtonPressedColor()));
  advance(*clock, screen.get(), 1.25);
  // At 0, 2/3, 4/3 and 2 s; ripples live 2.5 s, so all four are on screen.
  EXPECT_EQ(screen->talkButton()->pulseCount(), before + 4);
  EXPECT_EQ(ripplesOfScale(3.5f), 4u);
  release();
  EXPECT_FALSE(local->controller->isTransmitting());
  EXPECT_TRUE(sameColour(buttonColour(), Styles::transmitButtonColor()));
  EXPECT_TRUE(screen->talkButton()->isLabelShown());
  // Releasing fires an idle pulse at once and ends the press pulses.
  EXPECT_EQ(screen->talkButton()->pulseCount(), before + 5);
  advance(*clock, screen.get(), 2.9, 0.1);
  EXPECT_EQ(screen->talkButton()->pulseCount(), before + 5);
  EXPECT_EQ(ripplesOfScale(3.5f), 0u);
  EXPECT_EQ(transmitting.values(), (std::vector<bool>{false, true, false}));
}

TEST_F(WalkieTalkieScreenTest, ATapShorterThanTheGateLeavesTheButtonGreyUntilTheGateOpens) {
  connectPeer();
  press();
  advance(*clock, screen.get(), 0.3);
  release();
  EXPECT_TRUE(sameColour(buttonColour(), Styles::transmitButtonDisabledColor()));
  EXPECT_FALSE(screen->talkButton()->isButtonEnabled());
  EXPECT_FALSE(screen->talkButton()->beginTracking());
  EXPECT_TRUE(screen->talkButton()->isLabelShown());
  advance(*clock, screen.get(), 0.4);
  EXPECT_FALSE(screen->talkButton()->isButtonEnabled());
  advance(*clock, screen.get(), 0.1);
  EXPECT_TRUE(screen->talkButton()->isButtonEnabled());
  EXPECT_TRUE(sameColour(buttonColour(), Styles::transmitButtonColor()));
}

TEST_F(WalkieTalkieScreenTest, LosingThePeerWhilePressedShowsTheTransmissionEnded) {
  connectPeer();
  press();
  advance(*clock, screen.get(), 1.0);
  remote->controller->disconnect();
  ASSERT_TRUE(spinUntil([&] { return !local->controller->isConnected(); }));
  processMainQueue();
  EXPECT_FALSE(local->controller->isTransmitting());
  // Still held, but nothing is sent: the button says so at once.
  EXPECT_TRUE(screen->talkButton()->isPressed());
  EXPECT_TRUE(sameColour(buttonColour(), Styles::transmitButtonDisabledColor()));
  EXPECT_FALSE(screen->talkButton()->isButtonEnabled());
  EXPECT_FALSE(screen->talkButton()->isLabelShown());
  EXPECT_FALSE(screen->peerDotView());
  const auto before = screen->talkButton()->pulseCount();
  advance(*clock, screen.get(), 1.4);
  EXPECT_EQ(screen->talkButton()->pulseCount(), before);
  release();
  EXPECT_TRUE(sameColour(buttonColour(), Styles::transmitButtonDisabledColor()));
  advance(*clock, screen.get(), 4.0, 0.1);
  EXPECT_EQ(screen->talkButton()->pulseCount(), before);
  EXPECT_TRUE(screen->connectButton()->isEnabled());
}

TEST_F(WalkieTalkieScreenTest, SpaceHeldWithAutoRepeatIsOnePressAndOneRelease) {
  connectPeer();
  Recorder<bool> transmitting(local->controller->transmittingValues().distinctUntilChanged());
  Recorder<bool> pressed(screen->talkButton()->pressedValues());
  auto key = [&](QEvent::Type type, bool repeat, unsigned long timestamp = 0) {
    QKeyEvent event(type, Qt::Key_Space, Qt::NoModifier, " ", repeat);
    event.setTimestamp(timestamp);
    QCoreApplication::sendEvent(screen.get(), &event);
    processMainQueue();
  };
  key(QEvent::KeyPress, false, 1);
  for (int i = 0; i < 30; ++i) {
    // Marked repeats, and repeats Qt could not mark (same timestamp as the release).
    key(QEvent::KeyRelease, i % 2 == 0, 100 + i);
    key(QEvent::KeyPress, i % 2 == 0, 100 + i);
    // The gate opens meanwhile; repeats must not count as new presses.
    advance(*clock, screen.get(), 0.05);
  }
  EXPECT_TRUE(local->controller->isTransmitting());
  key(QEvent::KeyRelease, false, 500);
  ASSERT_TRUE(spinUntil([&] { return !local->controller->isTransmitting(); }));
  EXPECT_EQ(pressed.values(), (std::vector<bool>{false, true, false}));

  // A quick genuine re-press (a new timestamp) is a new press, not a repeat.
  advance(*clock, screen.get(), 1.0);
  key(QEvent::KeyPress, false, 600);
  advance(*clock, screen.get(), 0.8);
  key(QEvent::KeyRelease, false, 700);
  key(QEvent::KeyPress, false, 710);
  EXPECT_TRUE(local->controller->isTransmitting());
  key(QEvent::KeyRelease, false, 800);
  ASSERT_TRUE(spinUntil([&] { return !local->controller->isTransmitting(); }));

  // A Space held while the window loses focus does not keep us on the air.
  advance(*clock, screen.get(), 1.0);
  key(QEvent::KeyPress, false, 900);
  advance(*clock, screen.get(), 0.8);
  EXPECT_TRUE(local->controller->isTransmitting());
  QFocusEvent focusOut(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
  QCoreApplication::sendEvent(screen.get(), &focusOut);
  processMainQueue();
  EXPECT_FALSE(local->controller->isTransmitting());
  EXPECT_FALSE(screen->talkButton()->isPressed());
  EXPECT_EQ(transmitting.values(),
            (std::vector<bool>{false, true, false, true, false, true, false, true, false}));
}

TEST_F(WalkieTalkieScreenTest, ThePeerDotNamesThePeerOnceAndPulsesFasterWhileItTalks) {
  connectPeer();
  PeerDotView* dot = screen->peerDotView();
  ASSERT_TRUE(dot);
  EXPECT_EQ(dot->text().toStdString(), uniqueName("remote"));
  EXPECT_FALSE(dot->isHidden());
  EXPECT_EQ(dot->geometry().bottom() + 1, talkRect().top() - WalkieTalkieScreen::kPeerDotGap);
  EXPECT_EQ(dot->width(), screen->width());
  // Idle: a pulse at once, then every 3 s.
  const auto idleStart = dot->dot()->pulseCount();
  EXPECT_GE(idleStart, 1u);
  advance(*clock, screen.get(), 3.05, 0.05);
  EXPECT_EQ(dot->dot()->pulseCount(), idleStart + 1);

  remote->controller->startTransmission();
  ASSERT_TRUE(spinUntil([&] {
    for (const auto& ripple : dot->dot()->ripples())
      if (ripple.targetScale == 30.0f) return true;
    return false;
  }));
  const auto talking = dot->dot()->pulseCount();
  advance(*clock, screen.get(), 2.05);
  EXPECT_EQ(dot->dot()->pulseCount(), talking + 3);
  remote->controller->endTransmission();

  // The core repeats "connected" on every peer change: still one dot, the
  // same one, its pulses going on.
  local->controller->setConnected(true);
  local->controller->setConnected(true);
  settle();
  EXPECT_EQ(screen->findChildren<PeerDotView*>().size(), 1);
  ASSERT_TRUE(screen->peerDotView());
  EXPECT_EQ(screen->peerDotView(), dot);

  // The disconnect button leaves the session; the dot goes.
  screen->disconnectButton()->click();
  ASSERT_TRUE(spinUntil([&] { return !local->controller->isConnected(); }));
  settle();
  EXPECT_TRUE(screen->findChildren<PeerDotView*>().isEmpty());
  EXPECT_TRUE(sameColour(buttonColour(), Styles::transmitButtonDisabledColor()));
}

TEST_F(WalkieTalkieScreenTest, AdvertisesWhileVisibleToOthersWhateverTheWindowOrPeersDo) {
  auto* sessionController = local->controller->multipeerController().get();
  auto post = [](const char* name) {
    NotificationCenter::defaultCenter().post(name, QCoreApplication::instance());
    processMainQueue();
  };
  ASSERT_TRUE(spinUntil([&] { return sessionController->isAdvertising(); }));
  // Minimizing or hiding no longer hides the device.
  post(kApplicationWillResignActiveNotification);
  screen->showMinimized();
  processMainQueue();
  EXPECT_TRUE(sessionController->isAdvertising());
  screen->showNormal();
  // The switch alone decides, from the menu as from the tray.
  screen->visibleAction()->trigger();
  EXPECT_FALSE(screen->isVisibleToOthers());
  ASSERT_TRUE(spinUntil([&] { return !sessionController->isAdvertising(); }));
  screen->setVisibleToOthers(true);
  EXPECT_TRUE(screen->visibleAction()->isChecked());
  ASSERT_TRUE(spinUntil([&] { return sessionController->isAdvertising(); }));
  // A connected device stays findable: others may join the conversation.
  connectPeer();
  spinFor(300ms);
  EXPECT_TRUE(sessionController->isAdvertising());
}

TEST_F(WalkieTalkieScreenTest, EveryControlWorksFromTheKeyboard) {
  int settings = 0, quits = 0;
  screen->setSettingsHandler([&settings] { ++settings; });
  screen->setQuitHandler([&quits] { ++quits; });
  screen->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(screen.get()));
  screen->setFocus();
  struct Case {
    int key;
    Qt::KeyboardModifiers modifiers;
    const char* what;
  };
  const Case cases[] = {{Qt::Key_Comma, Qt::ControlModifier, "Ctrl+, opens Settings"},
                        {Qt::Key_S, Qt::AltModifier, "Alt+S opens Settings"},
                        {Qt::Key_Q, Qt::ControlModifier, "Ctrl+Q quits"}};
  int expectedSettings = 0, expectedQuits = 0;
  for (const auto& c : cases) {
    QTest::keyClick(screen.get(), Qt::Key(c.key), c.modifiers);
    // A mnemonic clicks its button as a mouse would, after a short flash.
    spinFor(200ms);
    if (c.key == Qt::Key_Q)
      ++expectedQuits;
    else
      ++expectedSettings;
    EXPECT_EQ(settings, expectedSettings) << c.what;
    EXPECT_EQ(quits, expectedQuits) << c.what;
  }
  QTest::keyClick(screen.get(), Qt::Key_C, Qt::AltModifier);
  spinFor(200ms);
  EXPECT_TRUE(screen->peerList()) << "Alt+C did not open the browser";
  screen->dismissPresented();

  // Tab reaches the buttons; Space there still talks rather than clicks.
  connectPeer();
  QTest::keyClick(screen.get(), Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), screen->connectButton());
  QTest::keyPress(screen->connectButton(), Qt::Key_Space);
  processMainQueue();
  EXPECT_TRUE(local->controller->isTransmitting());
  EXPECT_FALSE(screen->peerList()) << "Space clicked the focused button";
  QTest::keyRelease(screen->connectButton(), Qt::Key_Space);
  ASSERT_TRUE(spinUntil([&] { return !local->controller->isTransmitting(); }));
  // Enter presses the focused button.
  QTest::keyClick(screen->connectButton(), Qt::Key_Return);
  processMainQueue();
  EXPECT_TRUE(screen->peerList());
}

TEST_F(WalkieTalkieScreenTest, LayoutHoldsAtAnySize) {
  for (const QSize size : {QSize(375, 667), QSize(600, 500), QSize(320, 900)}) {
    screen->resize(size);
    processMainQueue();
    const QRect r = talkRect();
    EXPECT_EQ(r.size(), QSize(250, 250));
    EXPECT_NEAR(r.x() + 125.0, size.width() / 2.0, 0.5);
    EXPECT_NEAR(r.bottom() + 1, size.height() + 62.5, 0.5);
    // The label sits 8 px above the window's bottom edge.
    QWidget* label = screen->talkButton()->labelWidget();
    EXPECT_EQ(label->mapTo(screen.get(), QPoint(0, label->height())).y(), size.height() - 8);
  }
}

// The three states as pictures in the build tree, for people to look at; the
// checks compare regions by colour.
TEST_F(WalkieTalkieScreenTest, ScreenshotsOfTheThreeStates) {
  const QString dir = QStringLiteral(QUR_BUILD_DIR "/screenshots");
  QDir().mkpath(dir);
  QImage image = grabImage(screen.get());
  EXPECT_TRUE(image.save(dir + "/not-connected.png"));
  EXPECT_TRUE(sameColour(image.pixelColor(colourSample()), Styles::transmitButtonDisabledColor()));

  connectPeer();
  advance(*clock, screen.get(), 2.2, 0.1);
  advance(*clock, screen.get(), 0.8, 0.1);
  advance(*clock, screen.get(), 0.5, 0.1);
  image = grabImage(screen.get());
  EXPECT_TRUE(image.save(dir + "/connected-idle.png"));
  EXPECT_TRUE(sameColour(image.pixelColor(colourSample()), Styles::transmitButtonColor()));
  const QPoint dotCentre =
      screen->peerDotView()->dot()->geometry().center() + screen->peerDotView()->pos();
  EXPECT_TRUE(sameColour(image.pixelColor(dotCentre), Styles::peerDotIconColor(), 6));
  // A ripple half-way out lightens the background beside the button.
  const QPoint beside(talkRect().left() - 20, talkRect().top() + 100);
  const QColor background = Styles::applicationBackgroundBottomColor();
  EXPECT_GT(image.pixelColor(beside).blue(), background.blue() - 10);

  press();
  advance(*clock, screen.get(), 1.5, 0.1);
  image = grabImage(screen.get());
  EXPECT_TRUE(image.save(dir + "/transmitting.png"));
  EXPECT_TRUE(sameColour(image.pixelColor(colourSample()), Styles::transmitButtonPressedColor()));
  EXPECT_EQ(labelPixels(), 0);
  release();
}

}  // namespace
}  // namespace qur
