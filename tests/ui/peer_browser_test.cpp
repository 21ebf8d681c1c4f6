// The peer browser over the window's application and other applications on
// loopback: rows follow devices as they come and go, invitations end in
// every way a user can see, and the one-peer limit holds.
#include <gtest/gtest.h>

#include <QDir>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/walkie_talkie_controller.h"
#include "peers/device_identity.h"
#include "peers/discovery.h"
#include "peers/known_peers.h"
#include "peers/protocol.h"
#include "peers/session_controller.h"
#include "running_peers.h"
#include "ui/peer_list_dialog.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::ConfigFolder;
using testing::peerName;
using testing::processMainQueue;
using testing::RunningApp;
using testing::spinUntil;
using testing::WindowSide;

PeerListDialog* openBrowser(WindowSide& window) {
  window.screen->connectButton()->click();
  spinUntil([&] { return window.screen->peerList() != nullptr; });
  return window.screen->peerList();
}

bool rowIs(WindowSide& window, const std::string& name, PeerRowState state) {
  auto* browser = window.screen->peerList();
  return browser && browser->stateOf(QString::fromStdString(name)) == state;
}

bool listed(WindowSide& window, const std::string& name) {
  auto* browser = window.screen->peerList();
  return browser && browser->stateOf(QString::fromStdString(name)).has_value();
}

// What the row says on screen.
QString shownState(PeerListDialog* browser, const QString& name) {
  const auto rows = browser->list()->findItems(name, Qt::MatchExactly);
  if (rows.size() != 1) return {};
  auto* label =
      browser->list()->itemWidget(rows.front())->findChild<QLabel*>(QStringLiteral("peerState"));
  return label ? label->text() : QString();
}

TEST(PeerBrowserRows, DevicesAppearAndDisappearLiveAndKeepTheirFingerprintLine) {
  WindowSide window("rows", true);
  ASSERT_TRUE(window.screen);
  PeerListDialog* browser = openBrowser(window);
  ASSERT_TRUE(browser);

  auto bravo = std::make_unique<RunningApp>("rows-bravo", AcceptPolicy::Never);
  ASSERT_TRUE(bravo->app);
  const std::string bravoName = bravo->name();
  const QString bravoRow = QString::fromStdString(bravoName);
  ASSERT_TRUE(spinUntil([&] { return listed(window, bravoName); }, 20s))
      << "a device that appeared while the browser was open is not listed";
  EXPECT_EQ(browser->stateOf(bravoRow), PeerRowState::Available);
  ASSERT_TRUE(browser->inviteButton(bravoRow));
  EXPECT_TRUE(browser->inviteButton(bravoRow)->isEnabled());
  browser->setFingerprint(bravoRow, QStringLiteral("ABCD EFGH IJKL MNOP"));

  // Another device arriving rebuilds the list; the first row keeps its line.
  RunningApp charlie("rows-charlie", AcceptPolicy::Never);
  ASSERT_TRUE(charlie.app);
  ASSERT_TRUE(spinUntil([&] { return listed(window, charlie.name()); }, 20s));
  EXPECT_EQ(browser->fingerprintOf(bravoRow), QStringLiteral("ABCD EFGH IJKL MNOP"));
  // Charlie's row shows the key its advertisement names.
  const std::string charlieKey = peers::fingerprintForIdentifier(
      charlie.app->controller()->multipeerController()->peerID().identifier());
  EXPECT_EQ(browser->fingerprintOf(QString::fromStdString(charlie.name())).toStdString(),
            charlieKey);

  // A device that leaves takes its row with it, while the browser is open.
  // (Other devices on loopback may come and go meanwhile: count only ours.)
  bravo->stop();
  ASSERT_TRUE(spinUntil([&] { return !listed(window, bravoName); }, 20s))
      << "a device that left is still listed";
  EXPECT_FALSE(browser->inviteButton(bravoRow));
  EXPECT_TRUE(listed(window, charlie.name()));

  // Escape is Cancel.
  QTest::keyClick(browser->list(), Qt::Key_Escape);
  EXPECT_TRUE(spinUntil([&] { return window.screen->peerList() == nullptr; }));
}

TEST(PeerBrowserInvitations, EnterOnARowInvitesAndAnAcceptedRowConnectsAndHandsOverToTheScreen) {
  WindowSide window("accept", true);
  ASSERT_TRUE(window.screen);
  RunningApp bravo("accept-bravo", AcceptPolicy::Auto);
  ASSERT_TRUE(bravo.app);
  PeerListDialog* browser = openBrowser(window);
  ASSERT_TRUE(browser);
  ASSERT_TRUE(spinUntil([&] { return listed(window, bravo.name()); }, 20s));

  // Keyboard only: the list has the focus; pick the row and press Enter.
  const auto rows =
      browser->list()->findItems(QString::fromStdString(bravo.name()), Qt::MatchExactly);
  ASSERT_EQ(rows.size(), 1);
  browser->list()->setCurrentItem(rows.front());
  QTest::keyClick(browser->list(), Qt::Key_Return);
  const auto state = browser->stateOf(QString::fromStdString(bravo.name()));
  ASSERT_TRUE(state);
  EXPECT_NE(*state, PeerRowState::Available) << "Enter did not invite";

  ASSERT_TRUE(spinUntil(
      [&] {
        return rowIs(window, bravo.name(), PeerRowState::Connected) || window.screen->peerDotView();
      },
      15s));
  EXPECT_TRUE(spinUntil([&] { return window.launcher.app()->connected().get(); }, 10s));
  EXPECT_TRUE(spinUntil([&] { return window.screenSays(QStringLiteral("accepted")); }, 10s));
  // Nothing more to do in the browser: it steps aside for the talk button.
  EXPECT_TRUE(spinUntil([&] { return window.screen->peerList() == nullptr; }, 10s));
  // Another colleague may still be invited.
  EXPECT_TRUE(window.screen->connectButton()->isEnabled());
}

TEST(PeerBrowserInvitations, AnOutstandingInvitationHoldsBackOnlyItsOwnRowUntilDeclined) {
  WindowSide window("decline", true);
  ASSERT_TRUE(window.screen);
  RunningApp bravo("decline-bravo", AcceptPolicy::Ask);
  RunningApp charlie("decline-charlie", AcceptPolicy::Never);
  ASSERT_TRUE(bravo.app && charlie.app);
  PeerListDialog* browser = openBrowser(window);
  ASSERT_TRUE(browser);
  const QString bravoRow = QString::fromStdString(bravo.name());
  const QString charlieRow = QString::fromStdString(charlie.name());
  ASSERT_TRUE(spinUntil(
      [&] { return listed(window, bravo.name()) && listed(window, charlie.name()); }, 20s));

  browser->inviteButton(bravoRow)->click();
  EXPECT_EQ(browser->stateOf(bravoRow), PeerRowState::Invited);
  // Bravo's own row waits for its answer; a second invitation to it is not sent.
  EXPECT_FALSE(browser->inviteButton(bravoRow)->isEnabled());
  EXPECT_FALSE(browser->invite(bravoRow));
  // Several peers may talk together: charlie can be invited meanwhile.
  EXPECT_TRUE(browser->inviteButton(charlieRow)->isEnabled());
  ASSERT_TRUE(spinUntil([&] { return !bravo.app->pendingInvitations().get().empty(); }, 15s));
  processMainQueue();
  EXPECT_EQ(bravo.app->pendingInvitations().get().size(), 1u) << "bravo was asked twice";

  std::string error;
  ASSERT_TRUE(bravo.app->answerInvitation(false, 0, &error)) << error;
  ASSERT_TRUE(spinUntil([&] { return rowIs(window, bravo.name(), PeerRowState::Declined); }, 10s));
  EXPECT_EQ(shownState(browser, bravoRow), QStringLiteral("declined"));
  EXPECT_TRUE(spinUntil([&] { return window.screenSays(QStringLiteral("declined")); }, 10s));
  // The way is open again.
  EXPECT_TRUE(browser->inviteButton(charlieRow)->isEnabled());
  EXPECT_TRUE(browser->inviteButton(bravoRow)->isEnabled());
  EXPECT_FALSE(window.launcher.app()->connected().get());
}

TEST(PeerBrowserInvitations, AnUnansweredInvitationSaysItTimedOut) {
  WindowSide window("timeout", true);
  ASSERT_TRUE(window.screen);
  RunningApp bravo("timeout-bravo", AcceptPolicy::Ask);
  ASSERT_TRUE(bravo.app);
  PeerListDialog* browser = openBrowser(window);
  ASSERT_TRUE(browser);
  const QString bravoRow = QString::fromStdString(bravo.name());
  ASSERT_TRUE(spinUntil([&] { return listed(window, bravo.name()); }, 20s));
  ASSERT_TRUE(browser->invite(bravoRow));
  // Nobody answers on bravo's side: the session's invitation timeout ends it.
  ASSERT_TRUE(spinUntil([&] { return rowIs(window, bravo.name(), PeerRowState::TimedOut); }, 60s))
      << "state: " << int(browser->stateOf(bravoRow).value_or(PeerRowState::Available));
  EXPECT_TRUE(shownState(browser, bravoRow).contains(QStringLiteral("timed out")));
  EXPECT_TRUE(spinUntil([&] { return window.screenSays(QStringLiteral("in time")); }, 5s));
  EXPECT_TRUE(browser->inviteButton(bravoRow)->isEnabled());
  EXPECT_TRUE(browser->statusLabel()->text().isEmpty());
}

// A loopback port that was free a moment ago and has no listener now.
std::uint16_t closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

TEST(PeerBrowserInvitations, ADeviceThatAnnouncesItselfButDoesNotAnswerIsUnreachable) {
  WindowSide window("unreachable", true);
  ASSERT_TRUE(window.screen);
  // Announced over mDNS like any device, on a port where nobody listens.
  const std::uint16_t port = closedPort();
  ASSERT_NE(port, 0);
  const std::string ghostName = testing::peerName("unreachable-ghost");
  auto discovery = Discovery::shared();
  ASSERT_TRUE(discovery);
  auto publication = discovery->publish(WalkieTalkieController::kServiceType, ghostName, port,
                                        {"id=" + PeerID(ghostName).identifierString(),
                                         "v=" + std::to_string(peers::kProtocolVersion)});
  ASSERT_TRUE(publication);
  PeerListDialog* browser = openBrowser(window);
  ASSERT_TRUE(browser);
  const QString ghostRow = QString::fromStdString(ghostName);
  ASSERT_TRUE(spinUntil([&] { return listed(window, ghostName); }, 20s));
  ASSERT_TRUE(browser->invite(ghostRow));
  ASSERT_TRUE(
      spinUntil([&] { return window.screenSays(QStringLiteral("could not be reached")); }, 20s));
  // The row says so as long as the device stays listed; the browser may drop
  // it after checking that nobody answers there.
  EXPECT_TRUE(!browser->stateOf(ghostRow) ||
              browser->stateOf(ghostRow) == PeerRowState::Unreachable);
  // Nothing is outstanding any more.
  EXPECT_FALSE(browser->statusLabel()->text().contains(QStringLiteral("Waiting")))
      << browser->statusLabel()->text().toStdString();
  EXPECT_FALSE(window.launcher.app()->connected().get());
}

// A device that took a pinned colleague's name is flagged and invited only
// on a second, deliberate press; the colleague, renamed since the name was
// taken, is known by its key. Cancel withdraws what is still out.
TEST(PeerBrowserTrust, AnImpostorIsFlaggedAndCancelWithdrawsTheInvitation) {
  WindowSide window("trust", true);
  ASSERT_TRUE(window.screen);
  const std::string name = peerName("trust-ada");
  ConfigFolder adaFolder;
  const auto adaKey = DeviceIdentity::loadOrCreate(adaFolder.path);
  ASSERT_TRUE(adaKey);
  ASSERT_TRUE(KnownPeers(window.config.path).pin(name, adaKey->identifier()));
  RunningApp impostor("trust-impostor", AcceptPolicy::Ask, name);
  ASSERT_TRUE(impostor.app);
  RunningApp ada("trust-ada", AcceptPolicy::Never, name, adaFolder.path);
  ASSERT_TRUE(ada.app);
  ASSERT_EQ(ada.name(), name + " #2");
  PeerListDialog* browser = openBrowser(window);
  ASSERT_TRUE(browser);
  ASSERT_TRUE(spinUntil([&] { return listed(window, name) && listed(window, ada.name()); }, 20s));
  const QString impostorRow = QString::fromStdString(name);
  EXPECT_EQ(browser->trustOf(impostorRow), QStringLiteral("key changed"));
  EXPECT_EQ(browser->trustOf(QString::fromStdString(ada.name())),
            QStringLiteral("known as %1").arg(impostorRow));

  // The first press sends nothing and says why.
  browser->inviteButton(impostorRow)->click();
  processMainQueue();
  EXPECT_EQ(browser->stateOf(impostorRow), PeerRowState::Available);
  EXPECT_EQ(browser->inviteButton(impostorRow)->text(), QStringLiteral("Invite anyway"));
  EXPECT_TRUE(browser->statusLabel()->text().contains(QStringLiteral("another key")))
      << browser->statusLabel()->text().toStdString();
  EXPECT_TRUE(impostor.app->pendingInvitations().get().empty());
  // The picture shows the two rows of the name (other devices on loopback
  // may be listed above them).
  window.screen->resize(375, 760);
  const auto rows = browser->list()->findItems(impostorRow, Qt::MatchStartsWith);
  if (!rows.isEmpty())
    browser->list()->scrollToItem(rows.front(), QAbstractItemView::PositionAtTop);
  processMainQueue();
  const QString dir = QStringLiteral(QUR_BUILD_DIR "/screenshots");
  QDir().mkpath(dir);
  EXPECT_TRUE(testing::grabImage(window.screen.get()).save(dir + "/peer-browser-trust.png"));

  // The second press invites; Cancel takes it back and the device is told.
  browser->inviteButton(impostorRow)->click();
  ASSERT_TRUE(spinUntil([&] { return !impostor.app->pendingInvitations().get().empty(); }, 10s));
  browser->cancelButton()->click();
  ASSERT_TRUE(
      spinUntil([&] { return impostor.find(AppEvent::Kind::InvitationResult, "withdrawn"); }, 10s));
  EXPECT_TRUE(impostor.app->pendingInvitations().get().empty());
  EXPECT_FALSE(window.launcher.app()->connected().get());
}

// A picture in the build tree for people to look at: three devices in three
// states, and the outcome of the last invitation on the main screen below.
TEST(PeerBrowserPictures, ThreeDevicesInThreeStates) {
  WindowSide window("picture", true);
  ASSERT_TRUE(window.screen);
  const std::string suffix = " (" + std::to_string(getpid() % 1000) + ")";
  RunningApp ada("picture-ada", AcceptPolicy::Never, "Ada's laptop" + suffix);
  RunningApp room("picture-room", AcceptPolicy::Ask, "Meeting room" + suffix);
  RunningApp desk("picture-desk", AcceptPolicy::Never, "Front desk" + suffix);
  ASSERT_TRUE(ada.app && room.app && desk.app);
  window.screen->resize(375, 667);
  PeerListDialog* browser = openBrowser(window);
  ASSERT_TRUE(browser);
  ASSERT_TRUE(spinUntil(
      [&] {
        return listed(window, ada.name()) && listed(window, room.name()) &&
               listed(window, desk.name());
      },
      20s));
  ASSERT_TRUE(browser->invite(QString::fromStdString(desk.name())));
  ASSERT_TRUE(spinUntil([&] { return rowIs(window, desk.name(), PeerRowState::Declined); }, 10s));
  ASSERT_TRUE(browser->invite(QString::fromStdString(room.name())));
  ASSERT_TRUE(spinUntil([&] { return !room.app->pendingInvitations().get().empty(); }, 10s));
  processMainQueue();
  // The line about it sits above the browser, never over its rows.
  QLabel* line = window.screen->messageLabel();
  ASSERT_TRUE(line);
  const QRect lineRect(line->mapTo(window.screen.get(), QPoint(0, 0)), line->size());
  EXPECT_LT(lineRect.bottom(), browser->geometry().top());
  const QString dir = QStringLiteral(QUR_BUILD_DIR "/screenshots");
  QDir().mkpath(dir);
  EXPECT_TRUE(testing::grabImage(window.screen.get()).save(dir + "/peer-browser.png"));
}

}  // namespace
}  // namespace qur
