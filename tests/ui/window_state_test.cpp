// What the window says when things go wrong, over the real application and
// real peers on loopback: the command-line program in a child process (so
// it can quit, be killed or be stopped) and in-process applications. Each
// failure must show as a line on the main screen; the talk button must show
// what is really sent; every connected peer has its own strip.
#include <gtest/gtest.h>
#include <signal.h>

#include <QTest>

#include "peers/known_peers.h"
#include "running_peers.h"
#include "support/child_process.h"
#include "ui/styles.h"
#include "ui_test_support.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::RunningApp;
using testing::spinFor;
using testing::spinUntil;
using testing::WindowSide;

// The command-line program as another device on loopback, accepting every
// invitation.
std::unique_ptr<ChildProcess> startCliPeer(const std::string& name) {
  return std::make_unique<ChildProcess>(
      std::vector<std::string>{QUR_CLI_PATH, "run", "--name", name, "--audio", "virtual",
                               "--accept", "auto", "--interface", "lo", "--events", "json"});
}

bool lists(WindowSide& window, const std::string& name) {
  const auto nearby = window.launcher.app()->nearbyPeers().get();
  return std::find(nearby.begin(), nearby.end(), name) != nearby.end();
}

bool isConnectedTo(WindowSide& window, const std::string& name) {
  const auto peers = window.launcher.app()->connectedPeers().get();
  return std::find(peers.begin(), peers.end(), name) != peers.end();
}

// The window invites the named device once it is listed; true once connected.
bool connectTo(WindowSide& window, const std::string& name) {
  if (!spinUntil([&] { return lists(window, name); }, 20s)) return false;
  std::string error;
  if (!window.launcher.app()->invite(name, &error)) return false;
  return spinUntil([&] { return isConnectedTo(window, name); }, 15s);
}

QString bannerText(WindowSide& window, const QString& key) {
  Banner* banner = window.screen->banners()->banner(key);
  return banner && banner->isVisible() ? banner->label()->text() : QString();
}

QColor talkColour(WindowSide& window) {
  const QRect r = window.screen->talkButton()->geometry();
  return testing::grabImage(window.screen.get()).pixelColor(r.center().x(), r.top() + 60);
}

enum class Ending { Quits, IsKilled, StopsAnswering };

TEST(WindowConnectionEnds, EveryWayAPeerGoesIsSaidOnTheMainScreen) {
  struct Case {
    Ending ending;
    const char* role;
    QString (*expected)(const QString& peer);
  };
  const Case cases[] = {
      {Ending::Quits, "quits", [](const QString& p) { return p + QStringLiteral(" left"); }},
      {Ending::IsKilled, "killed",
       [](const QString& p) {
         return QStringLiteral("Lost ") + p + QStringLiteral(": the connection was cut");
       }},
      // The keep-alive gives up after 3.5 s of silence.
      {Ending::StopsAnswering, "stopped",
       [](const QString& p) {
         return QStringLiteral("Lost ") + p + QStringLiteral(": no answer for 4 s");
       }},
  };
  WindowSide window("ends", true);
  ASSERT_TRUE(window.screen);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.role);
    const std::string name = testing::peerName(std::string("ends-") + c.role);
    auto peer = startCliPeer(name);
    ASSERT_TRUE(connectTo(window, name)) << "never connected to " << name;
    ASSERT_TRUE(spinUntil([&] { return window.screen->peerDotViews().size() == 1; }, 5s));
    switch (c.ending) {
      case Ending::Quits:
        peer->writeLine("quit");
        break;
      case Ending::IsKilled:
        peer->kill(SIGKILL);
        break;
      case Ending::StopsAnswering:
        peer->kill(SIGSTOP);
        break;
    }
    const QString peerName = QString::fromStdString(name);
    const QString key = QStringLiteral("peer:") + peerName;
    EXPECT_TRUE(spinUntil([&] { return !bannerText(window, key).isEmpty(); }, 10s));
    EXPECT_EQ(bannerText(window, key), c.expected(peerName));
    EXPECT_TRUE(spinUntil([&] { return window.screen->peerDotViews().empty(); }, 5s));
    if (c.ending == Ending::StopsAnswering) peer->kill(SIGCONT);
    peer.reset();
    // The line stays until it is closed.
    window.screen->banners()->banner(key)->closeButton()->click();
    testing::processMainQueue();
    EXPECT_EQ(window.screen->banners()->banner(key), nullptr);
  }
}

TEST(WindowConnectionEnds, TheButtonStopsShowingATransmissionTheCoreEnded) {
  WindowSide window("button", true);
  ASSERT_TRUE(window.screen);
  const std::string name = testing::peerName("button-peer");
  auto peer = startCliPeer(name);
  ASSERT_TRUE(connectTo(window, name));
  ASSERT_TRUE(spinUntil([&] { return window.screen->talkButton()->isButtonEnabled(); }, 5s));
  window.screen->beginHold(WalkieTalkieScreen::Hold::Space);
  ASSERT_TRUE(spinUntil([&] { return window.launcher.app()->isTransmitting(); }, 5s));
  EXPECT_TRUE(testing::sameColour(talkColour(window), Styles::transmitButtonPressedColor()));

  peer->kill(SIGKILL);
  ASSERT_TRUE(spinUntil([&] { return !window.launcher.app()->isTransmitting(); }, 10s));
  testing::processMainQueue();
  // Still held, but nothing goes out: no crimson, no fast pulses.
  EXPECT_TRUE(window.screen->talkButton()->isPressed());
  EXPECT_TRUE(testing::sameColour(talkColour(window), Styles::transmitButtonDisabledColor()));
  const auto pulses = window.screen->talkButton()->pulseCount();
  spinFor(1500ms);
  EXPECT_EQ(window.screen->talkButton()->pulseCount(), pulses);
  window.screen->endHold(WalkieTalkieScreen::Hold::Space);
}

TEST(WindowConnectionEnds, ARefusedInvitationAndAChangedKeyStayOnScreen) {
  WindowSide window("refused", true);
  ASSERT_TRUE(window.screen);
  RunningApp bravo("refused-bravo", AcceptPolicy::Never);
  ASSERT_TRUE(bravo.app);
  ASSERT_TRUE(spinUntil([&] { return lists(window, bravo.name()); }, 20s));
  std::string error;
  ASSERT_TRUE(window.launcher.app()->invite(bravo.name(), &error)) << error;
  const QString bravoName = QString::fromStdString(bravo.name());
  EXPECT_TRUE(spinUntil(
      [&] { return !bannerText(window, QStringLiteral("invite:") + bravoName).isEmpty(); }, 15s));
  EXPECT_EQ(bannerText(window, QStringLiteral("invite:") + bravoName),
            bravoName + QStringLiteral(" declined the invitation"));
  EXPECT_EQ(window.screen->banners()->banner(QStringLiteral("invite:") + bravoName)->kind(),
            Banner::Kind::Warning);

  // Another key is pinned for charlie's name: its invitation warns, on the
  // screen as well as in the question.
  RunningApp charlie("refused-charlie", AcceptPolicy::Never);
  ASSERT_TRUE(charlie.app);
  KnownPeers pins(window.config.path);
  ASSERT_TRUE(pins.pin(charlie.name(), peers::Identifier{}));
  ASSERT_TRUE(spinUntil([&] { return charlie.lists(window.name()); }, 20s));
  ASSERT_TRUE(charlie.app->invite(window.name(), &error)) << error;
  const QString charlieName = QString::fromStdString(charlie.name());
  EXPECT_TRUE(spinUntil(
      [&] { return !bannerText(window, QStringLiteral("key:") + charlieName).isEmpty(); }, 15s));
  EXPECT_EQ(bannerText(window, QStringLiteral("key:") + charlieName),
            charlieName + QStringLiteral("'s key changed: another device may be using the name"));
  if (window.prompter->current()) window.prompter->current()->answer(false);
}

TEST(WindowAudio, NoSoundDeviceIsSaidWithAWayToSettings) {
  ParsedRunOptions options = WindowSide::options("nosound", "");
  testing::ConfigFolder config;
  options.run.configDirectory = config.path;
  options.run.audio = "portaudio:no-such-device-anywhere";
  CoreLauncher launcher(options);
  std::string error;
  ASSERT_TRUE(launcher.launch(&error)) << error;
  WalkieTalkieScreen::Options screenOptions;
  screenOptions.inhibitIdle = false;
  {
    WalkieTalkieScreen screen(launcher.makeBridge(), screenOptions);
    int opened = 0;
    screen.setSettingsHandler([&opened] { ++opened; });
    screen.show();
    Banner* banner = screen.banners()->banner(QStringLiteral("audio"));
    ASSERT_TRUE(banner);
    EXPECT_EQ(banner->label()->text(),
              QStringLiteral("No sound device — others will not hear you"));
    ASSERT_TRUE(banner->actionButton());
    banner->actionButton()->click();
    EXPECT_EQ(opened, 1);
  }
  bool left = false;
  launcher.shutdown([&left] { left = true; });
  spinUntil([&] { return left; }, 5s);
}

TEST(WindowPeers, EachConnectedPeerHasAStripThatPulsesWhenItTalks) {
  WindowSide window("several", true);
  ASSERT_TRUE(window.screen);
  RunningApp bravo("several-bravo", AcceptPolicy::Auto);
  RunningApp charlie("several-charlie", AcceptPolicy::Auto);
  ASSERT_TRUE(bravo.app && charlie.app);
  ASSERT_TRUE(connectTo(window, bravo.name()));
  // Another peer while one is connected: the window no longer stops at one,
  // and a list opened while connected stays open to invite from.
  ASSERT_TRUE(window.screen->connectButton()->isEnabled());
  window.screen->connectButton()->click();
  testing::processMainQueue();
  ASSERT_TRUE(window.screen->peerList());
  ASSERT_TRUE(spinUntil([&] { return lists(window, charlie.name()); }, 20s));
  spinFor(1500ms);
  ASSERT_TRUE(window.screen->peerList()) << "the list closed by itself";
  ASSERT_TRUE(window.screen->peerList()->invite(QString::fromStdString(charlie.name())));
  ASSERT_TRUE(spinUntil([&] { return isConnectedTo(window, charlie.name()); }, 15s));
  ASSERT_TRUE(spinUntil([&] { return window.screen->peerDotViews().size() == 2; }, 5s));
  testing::processMainQueue();
  // The first keeps its place; the second stands above it.
  const auto strips = window.screen->peerDotViews();
  EXPECT_EQ(strips[0]->text().toStdString(), bravo.name());
  EXPECT_EQ(strips[1]->text().toStdString(), charlie.name());
  EXPECT_LT(strips[1]->y(), strips[0]->y());

  std::string error;
  ASSERT_TRUE(charlie.app->startTalking(&error)) << error;
  auto fastRipples = [](PeerDotView* strip) {
    std::size_t count = 0;
    for (const auto& ripple : strip->dot()->ripples()) count += ripple.targetScale == 30.0f;
    return count;
  };
  EXPECT_TRUE(spinUntil([&] { return fastRipples(strips[1]) > 0; }, 5s));
  EXPECT_EQ(fastRipples(strips[0]), 0u);
  charlie.app->stopTalking(&error);
}

}  // namespace
}  // namespace qur
