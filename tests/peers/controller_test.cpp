// The session controller (advertising, reset, the session property and the
// toggle signal) and the message sink and source over real sessions.
#include "peers/session_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "peers/message_sink.h"
#include "session_support.h"
#include "signals/subject.h"
#include "support/log_capture.h"
#include "support/test_main.h"

namespace qur::testing {
namespace {

class ControllerOnLoopback : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Discovery::configure({{"lo"}, {}}); }
};

struct RecordingInbox : StreamSourceDelegate {
  std::mutex mutex;
  std::vector<std::string> messages;
  void gotMessage(ByteMessage m) override {
    std::lock_guard lock(mutex);
    messages.emplace_back(reinterpret_cast<const char*>(m.data()), m.size());
  }
  std::size_t size() {
    std::lock_guard lock(mutex);
    return messages.size();
  }
  std::string last() {
    std::lock_guard lock(mutex);
    return messages.empty() ? std::string() : messages.back();
  }
};

struct BrowserDelegate : PeerBrowserDelegate {
  void browserViewControllerDidFinish(PeerBrowser&) override {}
  void browserViewControllerWasCancelled(PeerBrowser&) override {}
};

TEST_F(ControllerOnLoopback, AdvertisingStateAndResetMoveTogether) {
  MultipeerSessionController controller("ctl", "qur-wtalkie");
  EXPECT_FALSE(controller.isAdvertising());
  controller.stopAdvertising();  // never advertised: harmless
  EXPECT_FALSE(controller.isAdvertising());
  EXPECT_EQ(controller.browserViewController()->maximumNumberOfPeers(), 2u);

  int sessionNotifications = 0;
  int staleBrowsers = 0;
  auto subscription = controller.sessionProperty().values().subscribeNext(
      [&](const std::shared_ptr<PeerSession>& session) {
        ++sessionNotifications;
        // Whoever looks up the browser on the notification gets the new session's.
        if (controller.browserViewController()->session() != session) ++staleBrowsers;
      });
  EXPECT_EQ(sessionNotifications, 1);  // the current one at subscription

  auto delegate = std::make_shared<BrowserDelegate>();
  controller.browserViewController()->setDelegate(delegate);
  const auto firstSession = controller.session();
  const auto firstBrowser = controller.browserViewController();

  controller.startAdvertising();
  EXPECT_TRUE(controller.isAdvertising());
  EXPECT_EQ(controller.advertiser()->session(), firstSession);
  EXPECT_TRUE(firstSession->acceptsInvitations());
  EXPECT_EQ(sessionNotifications, 1) << "advertising is not a session change";

  controller.reset();
  EXPECT_EQ(sessionNotifications, 2);
  EXPECT_NE(controller.session(), firstSession);
  EXPECT_TRUE(controller.isAdvertising());
  EXPECT_EQ(controller.advertiser()->session(), controller.session());
  EXPECT_FALSE(firstSession->acceptsInvitations());
  // Browsing outlives the session: the same browser, now inviting into the new one.
  EXPECT_EQ(controller.browserViewController(), firstBrowser);
  EXPECT_EQ(firstBrowser->session(), controller.session());
  EXPECT_EQ(controller.browserViewController()->delegate(), delegate);
  EXPECT_EQ(controller.session()->myPeerID(), firstSession->myPeerID());

  controller.stopAdvertising();
  controller.reset();
  EXPECT_EQ(sessionNotifications, 3);
  EXPECT_EQ(staleBrowsers, 0);
  EXPECT_FALSE(controller.isAdvertising());
  EXPECT_EQ(controller.advertiser(), nullptr);
  subscription->dispose();
}

TEST_F(ControllerOnLoopback, AdvertisingFollowsOnlyTheLatestSignalOnTheMainThread) {
  MultipeerSessionController controller("toggle", "qur-wtalkie");
  std::atomic<int> offMain{0};
  auto watch = controller.advertisingProperty().values().subscribeNext([&](const bool&) {
    if (!mainQueue().isMainThread()) ++offMain;
  });
  auto first = Subject<bool>::create();
  auto second = Subject<bool>::create();
  controller.toggleAdvertisingWithSignal(first->signal());
  std::thread([&] { first->sendNext(true); }).join();
  ASSERT_TRUE(mainLoop().runUntil([&] { return controller.isAdvertising(); }, 5s));
  controller.toggleAdvertisingWithSignal(second->signal());
  first->sendNext(false);  // no longer followed
  mainLoop().runFor(100ms);
  EXPECT_TRUE(controller.isAdvertising());
  std::thread([&] { second->sendNext(false); }).join();
  ASSERT_TRUE(mainLoop().runUntil([&] { return !controller.isAdvertising(); }, 5s));
  EXPECT_EQ(offMain.load(), 0);
  watch->dispose();
}

// Two controllers find each other, the sink reaches the other side's
// per-peer delegate through the split delegate queue, and a reset moves the
// bound sink to the new session.
TEST_F(ControllerOnLoopback, MessagesFlowThroughSinkSplitDelegateAndSource) {
  struct StateLog : MultipeerPeerStateDelegate {
    Recorder recorder;
    std::atomic<bool> onQueue{true};
    MultipeerSessionSplitDelegate* split = nullptr;
    void sessionPeerDidChangeState(const std::shared_ptr<PeerSession>& s, const PeerID& peer,
                                   PeerSessionState state) override {
      if (!split->operationQueue().isCurrentQueue()) onQueue = false;
      recorder.sessionPeerDidChangeState(s, peer, state);
    }
  };
  struct Inbox : StreamSourceDelegate {
    std::mutex mutex;
    std::vector<std::string> messages;
    void gotMessage(ByteMessage m) override {
      std::lock_guard lock(mutex);
      messages.emplace_back(reinterpret_cast<const char*>(m.data()), m.size());
    }
    std::size_t size() {
      std::lock_guard lock(mutex);
      return messages.size();
    }
  };

  MultipeerSessionController alice("alice", "qur-wtalkie");
  MultipeerSessionController bob("bob", "qur-wtalkie");
  alice.setInvitationHandler(acceptAllInvitations());
  auto aliceStates = std::make_shared<StateLog>();
  aliceStates->split = alice.sessionDelegates().get();
  auto bobStates = std::make_shared<StateLog>();
  bobStates->split = bob.sessionDelegates().get();
  alice.sessionDelegates()->addPeerStateDelegate(aliceStates);
  bob.sessionDelegates()->addPeerStateDelegate(bobStates);
  auto aliceSource = std::make_shared<MultipeerMessageSource>();
  alice.sessionDelegates()->addDataReceiptDelegate(aliceSource);
  MultipeerMessageSink bobSink(bob.session());
  bobSink.bindSession(bob.sessionProperty());

  alice.startAdvertising();
  auto browser = bob.browserViewController();
  browser->start();
  std::optional<PeerID> found;
  ASSERT_TRUE(mainLoop().runUntil(
      [&] {
        for (auto& p : browser->nearbyPeers())
          if (p.peer == alice.peerID()) found = p.peer;
        return found.has_value();
      },
      15s));
  ASSERT_TRUE(browser->invite(*found));
  ASSERT_TRUE(bobStates->recorder.waitForState(alice.peerID(), PeerSessionState::Connected));
  ASSERT_TRUE(aliceStates->recorder.waitForState(bob.peerID(), PeerSessionState::Connected));

  auto fromBob = std::make_shared<Inbox>();
  auto replaced = std::make_shared<Inbox>();
  auto stranger = std::make_shared<Inbox>();
  aliceSource->setDelegateForPeer(replaced, bob.peerID());
  aliceSource->setDelegateForPeer(fromBob, bob.peerID());  // replaces the first
  aliceSource->setDelegateForPeer(stranger, PeerID("someone else"));
  std::vector<std::string> sent;
  for (int i = 0; i < 50; ++i) {
    const auto m = wireMessageCarrying("m" + std::to_string(i), static_cast<std::uint32_t>(i));
    sent.emplace_back(m.begin(), m.end());
    ASSERT_TRUE(bobSink.writeMessage(m));
  }
  ASSERT_TRUE(mainLoop().runUntil([&] { return fromBob->size() == 50; }, 10s));
  alice.sessionDelegates()->operationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_EQ(fromBob->messages, sent);
  EXPECT_EQ(replaced->size(), 0u);
  EXPECT_EQ(stranger->size(), 0u);
  EXPECT_TRUE(aliceStates->onQueue);

  // Bob throws his session away: Alice hears him go, the sink follows.
  bob.reset();
  EXPECT_EQ(bobSink.session(), bob.session());
  ASSERT_TRUE(aliceStates->recorder.waitForState(bob.peerID(), PeerSessionState::NotConnected));
  EXPECT_TRUE(bobStates->recorder.waitForState(alice.peerID(), PeerSessionState::NotConnected));
  browser->stop();
}

TEST_F(ControllerOnLoopback, OnePortForEverySessionAndMalformedMessagesStopAtTheSession) {
  MultipeerSessionController alice("alice", "qur-wtalkie");
  const std::uint16_t port = alice.session()->port();
  auto bob = PeerSession::create(PeerID("bob"));
  auto bobStates = std::make_shared<Recorder>();
  bob->setDelegate(bobStates);
  auto aliceSource = std::make_shared<MultipeerMessageSource>();
  alice.sessionDelegates()->addDataReceiptDelegate(aliceSource);
  auto inbox = std::make_shared<RecordingInbox>();
  aliceSource->setDelegateForPeer(inbox, bob->myPeerID());
  std::atomic<int> accepted{0};
  auto results = alice.invitationResults().subscribeNext([&](const InvitationResult& r) {
    if (r.invitedUs && r.peer == bob->myPeerID() && r.outcome == InvitationOutcome::Accepted)
      ++accepted;
  });
  auto timesIn = [&](int state) {
    const auto states = bobStates->statesOf(alice.peerID());
    return static_cast<int>(std::count(states.begin(), states.end(), state));
  };
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE("session " + std::to_string(round));
    auto previous = alice.session();
    alice.session()->setInvitationHandler(acceptAllInvitations());
    // A cached record of Alice still leads to her current session.
    EXPECT_EQ(alice.session()->port(), port);
    bob->invitePeer({"127.0.0.1", port}, alice.peerID());
    ASSERT_TRUE(bobStates->waitFor([&](auto&) { return timesIn(2) == round; }));
    // Wire messages pass; anything else is dropped before any queue.
    const auto good = wireMessageCarrying("r" + std::to_string(round));
    const std::vector<std::uint8_t> garbage(7, 0xFF);
    ASSERT_TRUE(
        bob->sendData(garbage, bob->connectedPeers(), SessionSendDataMode::Reliable, nullptr));
    ASSERT_TRUE(bob->sendData(good, bob->connectedPeers(), SessionSendDataMode::Reliable, nullptr));
    ASSERT_TRUE(
        mainLoop().runUntil([&] { return inbox->size() == static_cast<std::size_t>(round); }, 10s));
    EXPECT_EQ(inbox->last(), std::string(good.begin(), good.end()));
    alice.reset();
    ASSERT_TRUE(bobStates->waitFor([&](auto&) { return timesIn(0) == round; }));
    EXPECT_NE(alice.session(), previous);
    // Every session's invitations reach the one signal.
    EXPECT_EQ(accepted.load(), round);
  }
  results->dispose();
}

TEST(MultipeerMessageSink, FailedSendIsLoggedAndReported) {
  PeerSession::Options options;
  options.maxQueuedBytes = 64 * 1024;
  auto session = PeerSession::create(PeerID("sink"), options);
  session->setInvitationHandler(acceptAllInvitations());
  auto recorder = std::make_shared<Recorder>();
  session->setDelegate(recorder);
  RawPeer stuck(session->port(), 4096);
  stuck.sendHello("stuck");
  stuck.sendFrame(peers::FrameType::Invite);
  ASSERT_TRUE(recorder->waitForState(stuck.identity(), PeerSessionState::Connected));
  MultipeerMessageSink sink(session);
  LogCapture log;
  const std::vector<std::uint8_t> message(16 * 1024, 1);
  bool failed = false;
  for (int i = 0; i < 2000 && !failed; ++i) failed = !sink.writeMessage(message);
  EXPECT_TRUE(failed);
  EXPECT_EQ(log.count("Sending message failed with stuck ("), 1);
  // The session goes on; a sink without a session just says so.
  MultipeerMessageSink empty(nullptr);
  EXPECT_FALSE(empty.writeMessage(message));
  EXPECT_EQ(log.count("Sending message failed with no session"), 1);
}

TEST(MultipeerMessageSource, RoutesOnlyToTheSendersLiveDelegate) {
  struct Box : StreamSourceDelegate {
    int count = 0;
    void gotMessage(ByteMessage) override { ++count; }
  };
  MultipeerMessageSource source;
  const PeerID a("a");
  const PeerID b("b");
  auto forA = std::make_shared<Box>();
  auto forB = std::make_shared<Box>();
  auto all = std::make_shared<Box>();
  source.setDelegateForPeer(forA, a);
  source.setDelegateForPeer(forB, b);
  const std::uint8_t byte = 1;
  source.sessionDidReceiveDataFromPeer(nullptr, std::span(&byte, 1), a);
  EXPECT_EQ(forA->count, 1);
  EXPECT_EQ(forB->count, 0);
  source.setDelegate(all);
  forA.reset();  // a departed peer's receiver is gone: nothing, no crash
  source.sessionDidReceiveDataFromPeer(nullptr, std::span(&byte, 1), a);
  source.sessionDidReceiveDataFromPeer(nullptr, std::span(&byte, 1), PeerID("unknown"));
  EXPECT_EQ(all->count, 2);
  source.removeDelegateForPeer(b);
  source.sessionDidReceiveDataFromPeer(nullptr, std::span(&byte, 1), b);
  EXPECT_EQ(forB->count, 0);
}

TEST(SessionControllerConcurrency, ResetOnTheQueueWhileTheMainThreadToggles) {
  MultipeerSessionController controller("spin", "qur-wtalkie");
  std::atomic<bool> done{false};
  std::thread resetter([&] {
    for (int i = 0; i < 15; ++i) controller.reset();
    done = true;
  });
  bool on = false;
  while (!done) {
    on = !on;
    if (on) {
      controller.startAdvertising();
    } else {
      controller.stopAdvertising();
    }
  }
  resetter.join();
  // Whatever the interleaving, the advertiser (if any) serves the current session.
  if (auto advertiser = controller.advertiser()) {
    EXPECT_TRUE(controller.isAdvertising());
    EXPECT_EQ(advertiser->session(), controller.session());
  } else {
    EXPECT_FALSE(controller.isAdvertising());
  }
}

}  // namespace
}  // namespace qur::testing
