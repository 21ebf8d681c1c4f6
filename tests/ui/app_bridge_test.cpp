// The window's screen over the application the command-line program runs:
// two applications in this process, virtual audio, sessions and mDNS on
// loopback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QListWidget>
#include <QPushButton>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/walkie_talkie_app.h"
#include "app/walkie_talkie_controller.h"
#include "peers/device_identity.h"
#include "peers/session_controller.h"
#include "running_peers.h"
#include "ui/app_bridge.h"
#include "ui/invitation_prompt.h"
#include "ui/walkie_talkie_screen.h"
#include "ui_test_support.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::processMainQueue;
using testing::spinUntil;

using testing::ConfigFolder;

// Applications as the command-line program runs them, under names of this suite.
struct Running : testing::RunningApp {
  Running(const std::string& role, AcceptPolicy accept)
      : RunningApp(role, accept, "bridge-" + role + "-" + std::to_string(getpid())) {}
};

QPushButton* buttonNamed(QWidget* root, const QString& text) {
  for (auto* button : root->findChildren<QPushButton*>()) {
    if (button->text() == text) return button;
  }
  return nullptr;
}

TEST(AppBridgeOverTheApplication, ThePeerListInvitesThroughTheApplicationAndLeavesItsBrowsingOn) {
  Running alpha("alpha", AcceptPolicy::Never);
  ASSERT_TRUE(alpha.app);
  WalkieTalkieScreen::Options options;
  options.inhibitIdle = false;
  auto screen =
      std::make_unique<WalkieTalkieScreen>(std::make_shared<AppBridge>(alpha.app), options);
  screen->show();
  processMainQueue();

  // Opening and closing the list must not end the application's browsing:
  // a device that appears afterwards is still found.
  screen->connectButton()->click();
  ASSERT_TRUE(spinUntil([&] { return screen->peerList() != nullptr; }));
  QPushButton* cancel = buttonNamed(screen->peerList(), QStringLiteral("Cancel"));
  ASSERT_TRUE(cancel);
  cancel->click();
  ASSERT_TRUE(spinUntil([&] { return screen->peerList() == nullptr; }));

  Running bravo("bravo", AcceptPolicy::Auto);
  ASSERT_TRUE(bravo.app);
  const std::string bravoName = bravo.app->localName();
  ASSERT_TRUE(spinUntil([&] { return alpha.lists(bravoName); }, 20s))
      << "the application stopped browsing when the list closed";

  // The list shows the application's nearby peers and invites through it.
  screen->connectButton()->click();
  ASSERT_TRUE(spinUntil([&] {
    return screen->peerList() &&
           !screen->peerList()
                ->list()
                ->findItems(QString::fromStdString(bravoName), Qt::MatchExactly)
                .isEmpty();
  }));
  ASSERT_TRUE(screen->peerList()->invite(QString::fromStdString(bravoName)));
  ASSERT_TRUE(
      spinUntil([&] { return alpha.app->connected().get() && screen->peerDotView(); }, 15s));
  const AppEvent* result = alpha.find(AppEvent::Kind::InvitationResult, "accepted");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->peer, bravoName);
  EXPECT_TRUE(spinUntil([&] { return screen->peerList() == nullptr; }));

  // Talking and disconnecting go through the application: its events tell.
  screen->bridge()->setTransmitting(true);
  EXPECT_TRUE(alpha.app->isTransmitting());
  ASSERT_TRUE(spinUntil([&] { return bravo.app->talkingPeers().get().size() == 1; }, 10s));
  screen->bridge()->setTransmitting(false);
  EXPECT_FALSE(alpha.app->isTransmitting());
  EXPECT_TRUE(alpha.find(AppEvent::Kind::Transmitting));
  ASSERT_TRUE(spinUntil([&] { return screen->disconnectButton()->isEnabled(); }));
  screen->disconnectButton()->click();
  EXPECT_TRUE(spinUntil([&] { return !alpha.app->connected().get(); }, 10s));
  EXPECT_TRUE(alpha.find(AppEvent::Kind::PeerDisconnected));
  screen.reset();
  processMainQueue();
}

// ---- the window's launcher ------------------------------------------------------

// The window's launcher with its questions, closings and messages kept for
// the test to look at and answer.
struct AskingLauncher {
  ConfigFolder config;
  CoreLauncher launcher;
  std::vector<Invitation> asked;
  std::vector<std::function<void(bool)>> answers;
  std::vector<std::uint64_t> closed;
  std::vector<std::string> messages;

  static ParsedRunOptions options(const std::string& role, const std::string& folder) {
    ParsedRunOptions options;
    options.run.name = "bridge-" + role + "-" + std::to_string(getpid());
    options.run.audio = "virtual";
    options.run.configDirectory = folder;
    return options;
  }
  explicit AskingLauncher(const std::string& role) : launcher(options(role, config.path)) {
    launcher.setInvitationPrompt(
        [this](const Invitation& invitation, std::function<void(bool)> answer) {
          asked.push_back(invitation);
          answers.push_back(std::move(answer));
        });
    launcher.setClosePrompt([this](std::uint64_t id) { closed.push_back(id); });
    launcher.setMessageHandler([this](const std::string& text) { messages.push_back(text); });
  }
};

TEST(CoreLauncherQuestions, AQuestionClosesWhenItsInvitationIsGoneAndADeclineReachesTheInviter) {
  AskingLauncher window("window");
  auto& [config, launcher, asked, answers, closed, messages] = window;
  std::string error;
  ASSERT_TRUE(launcher.launch(&error)) << error;
  const std::string windowName = launcher.app()->localName();

  {
    // The inviter leaves while the question is open.
    Running early("early", AcceptPolicy::Never);
    ASSERT_TRUE(early.app);
    ASSERT_TRUE(spinUntil([&] { return early.lists(windowName); }, 20s));
    ASSERT_TRUE(early.app->invite(windowName, &error)) << error;
    ASSERT_TRUE(spinUntil([&] { return asked.size() == 1; }, 15s));
    EXPECT_EQ(asked[0].peer, early.app->localName());
    EXPECT_EQ(asked[0].address, "127.0.0.1");
    EXPECT_EQ(asked[0].identifier,
              early.app->controller()->multipeerController()->peerID().identifierString());
    // The question shows the key the inviter proved, as new.
    const std::string earlyKey = peers::fingerprintForIdentifier(
        early.app->controller()->multipeerController()->peerID().identifier());
    EXPECT_EQ(asked[0].fingerprint, earlyKey);
    EXPECT_EQ(asked[0].trust, "new");
    InvitationPrompt prompt(asked[0], nullptr);
    const QString shown = prompt.fingerprintLabel()->text();
    EXPECT_TRUE(shown.contains(QString::fromStdString(earlyKey))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("first time"))) << shown.toStdString();
    EXPECT_TRUE(prompt.warningLabel()->isHidden());
    EXPECT_TRUE(prompt.acceptButton()->isDefault());
    EXPECT_TRUE(closed.empty());
  }
  ASSERT_TRUE(spinUntil([&] { return closed.size() == 1; }, 10s)) << "the question stayed open";
  EXPECT_EQ(closed[0], asked[0].id);
  ASSERT_FALSE(messages.empty());
  EXPECT_NE(messages.back().find("withdrawn"), std::string::npos) << messages.back();
  // Answering a question that is gone is told, not sent.
  answers[0](true);
  EXPECT_NE(messages.back().find("gone"), std::string::npos) << messages.back();

  Running late("late", AcceptPolicy::Never);
  ASSERT_TRUE(late.app);
  ASSERT_TRUE(spinUntil([&] { return late.lists(windowName); }, 20s));
  ASSERT_TRUE(late.app->invite(windowName, &error)) << error;
  ASSERT_TRUE(spinUntil([&] { return asked.size() == 2; }, 15s));
  answers[1](false);
  EXPECT_EQ(closed.size(), 2u);
  ASSERT_TRUE(
      spinUntil([&] { return late.find(AppEvent::Kind::InvitationResult, "declined"); }, 10s));
  EXPECT_FALSE(late.app->connected().get());

  bool left = false;
  launcher.shutdown([&left] { left = true; });
  EXPECT_TRUE(spinUntil([&] { return left; }, 5s));
}

// Invitations wait their turn: the window asks the next one only when the
// open one is answered, and a newer one never answers an older one.
TEST(CoreLauncherQuestions, QuestionsComeOneAtATimeInTheOrderTheyCame) {
  AskingLauncher window("queue");
  auto& [config, launcher, asked, answers, closed, messages] = window;
  std::string error;
  ASSERT_TRUE(launcher.launch(&error)) << error;
  const std::string windowName = launcher.app()->localName();
  Running first("first", AcceptPolicy::Never), second("second", AcceptPolicy::Never);
  ASSERT_TRUE(first.app && second.app);
  ASSERT_TRUE(spinUntil([&] { return first.lists(windowName) && second.lists(windowName); }, 20s));
  ASSERT_TRUE(first.app->invite(windowName, &error)) << error;
  ASSERT_TRUE(spinUntil([&] { return asked.size() == 1; }, 15s));
  ASSERT_TRUE(second.app->invite(windowName, &error)) << error;
  ASSERT_TRUE(
      spinUntil([&] { return launcher.app()->pendingInvitations().get().size() == 2; }, 15s));
  processMainQueue();
  ASSERT_EQ(asked.size(), 1u) << "the second question was asked over the first";
  EXPECT_EQ(asked[0].peer, first.name());
  EXPECT_FALSE(first.find(AppEvent::Kind::InvitationResult)) << "the first was answered unasked";

  answers[0](true);
  ASSERT_TRUE(spinUntil([&] { return asked.size() == 2; }, 5s));
  EXPECT_EQ(asked[1].peer, second.name());
  EXPECT_EQ(asked[1].identifier,
            second.app->controller()->multipeerController()->peerID().identifierString());
  answers[1](false);
  EXPECT_TRUE(spinUntil([&] { return first.app->connected().get(); }, 10s));
  EXPECT_TRUE(
      spinUntil([&] { return second.find(AppEvent::Kind::InvitationResult, "declined"); }, 10s));

  bool left = false;
  launcher.shutdown([&left] { left = true; });
  EXPECT_TRUE(spinUntil([&] { return left; }, 5s));
}

}  // namespace
}  // namespace qur
