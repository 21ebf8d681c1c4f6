// Peer sessions on loopback, in one process: invitations, delivery, the
// mesh, keep-alive, and what happens to connections that misbehave.
#include "peers/peer_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "peers/transport_io.h"
#include "session_support.h"
#include "support/log_capture.h"
#include "support/test_main.h"

namespace qur::testing {
namespace {

struct Node {
  explicit Node(const std::string& name, InvitationHandler handler = acceptAllInvitations(),
                PeerSession::Options options = {})
      : id(name),
        session(PeerSession::create(id, options)),
        recorder(std::make_shared<Recorder>()) {
    session->setDelegate(recorder);
    session->setInvitationHandler(std::move(handler));
  }
  PeerID id;
  std::shared_ptr<PeerSession> session;
  std::shared_ptr<Recorder> recorder;
};

void connectPair(Node& inviter, Node& invitee) {
  inviter.session->invitePeer(loopback(invitee.session), invitee.id);
  ASSERT_TRUE(inviter.recorder->waitForState(invitee.id, PeerSessionState::Connected));
  ASSERT_TRUE(invitee.recorder->waitForState(inviter.id, PeerSessionState::Connected));
}

TEST(PeerSession, InvitedPeersExchangeMessagesWholeAndInOrder) {
  Node a("a");
  Node b("b");
  connectPair(a, b);
  EXPECT_EQ(a.session->connectedPeers(), std::vector<PeerID>{b.id});
  EXPECT_EQ(b.session->connectedPeers(), std::vector<PeerID>{a.id});
  EXPECT_EQ(a.recorder->statesOf(b.id), (std::vector<int>{1, 2}));
  EXPECT_EQ(b.recorder->statesOf(a.id), (std::vector<int>{1, 2}));

  std::vector<std::string> sent;
  std::vector<std::uint8_t> buffer;
  for (int i = 0; i < 500; ++i) {
    // Sizes cross the read chunk so frames arrive split; the buffer is
    // overwritten right after each send, which must not matter.
    buffer.assign(static_cast<std::size_t>(1 + (i * 97) % 20000), static_cast<std::uint8_t>(i));
    sent.emplace_back(buffer.begin(), buffer.end());
    ASSERT_TRUE(a.session->sendData(buffer, {b.id}, SessionSendDataMode::Reliable, nullptr));
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    // Stay under the 1 MiB queue bound: this test is about order, not
    // overload. At most 30 messages of up to 20 kB are ever unconfirmed.
    if (i % 10 == 9) {
      ASSERT_TRUE(b.recorder->waitFor(
          [&](auto&) { return b.recorder->dataCount() + 20 > static_cast<std::size_t>(i); }));
    }
  }
  ASSERT_TRUE(b.recorder->waitFor([&](auto&) { return b.recorder->dataCount() >= 500; }));
  EXPECT_EQ(b.recorder->dataFrom(a.id), sent);
  ASSERT_TRUE(sendText(b.session, "back"));
  ASSERT_TRUE(a.recorder->waitFor([&](auto&) { return a.recorder->dataCount() == 1; }));
  EXPECT_EQ(a.recorder->dataFrom(b.id), std::vector<std::string>{"back"});
}

TEST(PeerSession, DeclinedOrUnansweredInvitationsConnectNobody) {
  Node a("a");
  Node declining("declining", declineAllInvitations());
  Node closed("closed", nullptr);  // not advertising: no handler
  for (Node* target : {&declining, &closed}) {
    a.session->invitePeer(loopback(target->session), target->id);
    ASSERT_TRUE(a.recorder->waitForState(target->id, PeerSessionState::NotConnected));
    EXPECT_EQ(a.recorder->statesOf(target->id), (std::vector<int>{1, 0}));
    EXPECT_TRUE(target->session->connectedPeers().empty());
    for (auto& e : target->recorder->events()) EXPECT_NE(e.state, 2);
  }
  EXPECT_TRUE(a.session->connectedPeers().empty());
  PeerError error;
  EXPECT_FALSE(a.session->sendData(std::vector<std::uint8_t>{1}, {declining.id},
                                   SessionSendDataMode::Reliable, &error));
  EXPECT_NE(error.description.find("not connected"), std::string::npos);
}

TEST(PeerSession, InvitationAnsweredLaterFromAnotherThread) {
  std::mutex mutex;
  std::function<void(bool)> pending;
  Node b("b", [&](const PeerID&, std::function<void(bool)> reply) {
    std::lock_guard lock(mutex);
    pending = std::move(reply);
  });
  Node a("a");
  a.session->invitePeer(loopback(b.session), b.id);
  ASSERT_TRUE(b.recorder->waitForState(a.id, PeerSessionState::Connecting));
  // The handler is asked right after Connecting is reported.
  ASSERT_TRUE(mainLoop().runUntil(
      [&] {
        std::lock_guard lock(mutex);
        return static_cast<bool>(pending);
      },
      10s));
  // Not connected while the user thinks: data cannot flow either way.
  EXPECT_TRUE(b.session->connectedPeers().empty());
  EXPECT_TRUE(a.session->connectedPeers().empty());
  std::thread([&] {
    std::lock_guard lock(mutex);
    pending(true);
  }).join();
  ASSERT_TRUE(a.recorder->waitForState(b.id, PeerSessionState::Connected));
  ASSERT_TRUE(b.recorder->waitForState(a.id, PeerSessionState::Connected));
}

TEST(PeerSession, ThirdPeerIsMeshedAndEveryMessageReachesBothOthersInOrder) {
  Node a("a");
  Node b("b");
  Node c("c");
  connectPair(a, b);
  connectPair(a, c);
  // a introduced b and c to each other.
  ASSERT_TRUE(b.recorder->waitForState(c.id, PeerSessionState::Connected));
  ASSERT_TRUE(c.recorder->waitForState(b.id, PeerSessionState::Connected));
  for (Node* n : {&a, &b, &c}) EXPECT_EQ(n->session->connectedPeers().size(), 2u);
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(sendText(c.session, std::to_string(i)));
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) expected.push_back(std::to_string(i));
  for (Node* n : {&a, &b}) {
    ASSERT_TRUE(n->recorder->waitFor([&](auto&) { return n->recorder->dataCount() >= 200; }));
    EXPECT_EQ(n->recorder->dataFrom(c.id), expected);
  }
}

TEST(PeerSession, SessionHoldsEightPeersAndRefusesTheNinth) {
  std::vector<std::unique_ptr<Node>> nodes;
  for (int i = 0; i < 9; ++i) nodes.push_back(std::make_unique<Node>("n" + std::to_string(i)));
  for (int i = 1; i < 8; ++i) {
    nodes[0]->session->invitePeer(loopback(nodes[i]->session), nodes[i]->id);
    ASSERT_TRUE(nodes[0]->recorder->waitForState(nodes[i]->id, PeerSessionState::Connected));
  }
  // Full mesh: every member ends with the seven others.
  for (int i = 0; i < 8; ++i) {
    auto& n = *nodes[i];
    ASSERT_TRUE(n.recorder->waitFor([&](auto&) { return n.session->connectedPeers().size() == 7; }))
        << "node " << i << " has " << n.session->connectedPeers().size();
  }
  // The ninth asks a full member to let it in and is declined.
  nodes[8]->session->invitePeer(loopback(nodes[3]->session), nodes[3]->id);
  ASSERT_TRUE(nodes[8]->recorder->waitForState(nodes[3]->id, PeerSessionState::NotConnected));
  EXPECT_EQ(nodes[3]->session->connectedPeers().size(), 7u);
}

TEST(PeerSession, DisconnectReportsEveryPeerBeforeReturning) {
  Node a("a");
  Node b("b");
  Node c("c");
  connectPair(a, b);
  connectPair(a, c);
  a.session->disconnect();
  EXPECT_TRUE(a.session->connectedPeers().empty());
  EXPECT_EQ(a.recorder->statesOf(b.id).back(), 0);
  EXPECT_EQ(a.recorder->statesOf(c.id).back(), 0);
  // The others hear the goodbye instead of waiting for the keep-alive.
  EXPECT_TRUE(b.recorder->waitForState(a.id, PeerSessionState::NotConnected));
  EXPECT_TRUE(c.recorder->waitForState(a.id, PeerSessionState::NotConnected));
  // Still usable afterwards.
  connectPair(a, b);
}

TEST(PeerSession, SilentPeerIsReportedNotConnectedByTheKeepAlive) {
  PeerSession::Options options;
  options.keepAliveIntervalMs = 100;
  options.keepAliveTimeoutMs = 500;
  Node a("a", acceptAllInvitations(), options);
  RawPeer raw(a.session->port());
  // One write: the peer's last word arrives with its Hello.
  raw.sendHelloAndInvite();
  ASSERT_TRUE(raw.waitForFrame(peers::FrameType::Accept));
  ASSERT_TRUE(a.recorder->waitForState(raw.identity(), PeerSessionState::Connected));
  // The raw peer never answers a ping.
  LogCapture log;
  EXPECT_TRUE(a.recorder->waitForState(raw.identity(), PeerSessionState::NotConnected));
  EXPECT_EQ(log.count("stopped answering"), 1);
}

struct BadInput {
  const char* name;
  std::function<void(RawPeer&)> send;
  const char* logged;
};

TEST(PeerSession, MisbehavingConnectionsAreClosedWithOneLogLineAndOthersGoOn) {
  Node a("a");
  Node b("b");
  connectPair(a, b);
  const std::vector<BadInput> cases = {
      {"garbage",
       [](RawPeer& r) {
         const std::string junk = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
         r.sendRaw(std::span(reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size()));
       },
       "Closing peer connection"},
      {"wrong version", [](RawPeer& r) { r.sendHello("raw", 9); }, "wrong protocol version"},
      {"oversized frame",
       [](RawPeer& r) {
         r.sendHello();
         const std::uint8_t header[] = {0x10, 0, 0, 0, 7};
         r.sendRaw(header);
       },
       "over the limit"},
      {"data before acceptance",
       [](RawPeer& r) {
         r.sendHello();
         r.sendFrame(peers::FrameType::Data, std::vector<std::uint8_t>{1, 2, 3});
       },
       "unexpected data before acceptance"},
      {"bad name", [](RawPeer& r) { r.sendHello("bell\x07"); }, "invalid display name"},
  };
  int sent = 0;
  for (const auto& bad : cases) {
    LogCapture log;
    RawPeer raw(a.session->port());
    ASSERT_TRUE(raw.connected());
    bad.send(raw);
    EXPECT_TRUE(raw.waitUntilClosed()) << bad.name;
    EXPECT_EQ(log.count("Closing peer connection"), 1) << bad.name;
    EXPECT_EQ(log.count(bad.logged), 1) << bad.name;
    ASSERT_TRUE(sendText(a.session, bad.name));
    ++sent;
    EXPECT_TRUE(b.recorder->waitFor([&](auto&) {
      return b.recorder->dataCount() == static_cast<std::size_t>(sent);
    })) << bad.name;
  }
  EXPECT_EQ(a.session->connectedPeers(), std::vector<PeerID>{b.id});
  EXPECT_EQ(a.recorder->statesOf(b.id), (std::vector<int>{1, 2}));
}

TEST(PeerSession, SilentConnectionsAreClosedAndResourcesComeBack) {
  PeerSession::Options options;
  options.handshakeTimeoutMs = 300;
  options.maxPendingConnections = 16;
  options.maxPendingPerAddress = 16;
  Node a("a", acceptAllInvitations(), options);
  const int before = openDescriptorCount();
  {
    LogCapture log;
    std::vector<std::unique_ptr<RawPeer>> raws;
    for (int i = 0; i < 60; ++i) raws.push_back(std::make_unique<RawPeer>(a.session->port()));
    for (auto& r : raws) EXPECT_TRUE(r->waitUntilClosed());
    // Each is closed: by the timeout or as one too many. Both kinds are up
    // to the other side, so each makes one log line however many there are.
    EXPECT_EQ(log.count("handshake timed out"), 1);
    EXPECT_EQ(log.count("too many pending"), 1);
  }
  EXPECT_LE(openDescriptorCount(), before);
  // The listener still works.
  Node b("b");
  connectPair(b, a);
}

TEST(PeerSession, PeerThatStopsReadingIsDroppedWithoutStallingTheOthers) {
  PeerSession::Options options;
  options.maxQueuedBytes = 256 * 1024;
  Node a("a", acceptAllInvitations(), options);
  Node b("b");
  connectPair(a, b);
  RawPeer stuck(a.session->port(), 4096);
  stuck.sendHello();
  stuck.sendFrame(peers::FrameType::Invite);
  ASSERT_TRUE(a.recorder->waitForState(stuck.identity(), PeerSessionState::Connected));
  LogCapture log;
  const std::vector<std::uint8_t> message(8192, 7);
  int failures = 0;
  const int count = 2000;  // 16 MB: far beyond socket buffers and the bound
  for (int i = 0; i < count; ++i) {
    PeerError error;
    if (!a.session->sendData(message, a.session->connectedPeers(), SessionSendDataMode::Reliable,
                             &error))
      ++failures;
    // The healthy peer keeps up; only the stuck one falls behind.
    if (i % 16 == 15) {
      ASSERT_TRUE(b.recorder->waitFor(
          [&](auto&) { return b.recorder->dataCount() == static_cast<std::size_t>(i) + 1; }));
    }
  }
  EXPECT_TRUE(a.recorder->waitForState(stuck.identity(), PeerSessionState::NotConnected));
  EXPECT_GE(failures, 1);
  EXPECT_EQ(log.count("is not reading"), 1);
  EXPECT_TRUE(b.recorder->waitFor([&](auto&) {
    return b.recorder->dataCount() == static_cast<std::size_t>(count);
  })) << b.recorder->dataCount();
}

TEST(PeerSessionConcurrency, SendersOnSeveralThreadsKeepTheirOwnOrder) {
  Node a("a");
  Node b("b");
  connectPair(a, b);
  constexpr int kThreads = 4;
  constexpr int kEach = 1500;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        if (!sendText(a.session, std::to_string(t) + ":" + std::to_string(i))) ++failures;
        if (i % 200 == 0) (void)a.session->connectedPeers();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_TRUE(b.recorder->waitFor(
      [&](auto&) { return b.recorder->dataCount() == std::size_t{kThreads * kEach}; }));
  int next[kThreads] = {};
  for (auto& text : b.recorder->dataFrom(a.id)) {
    const int t = std::stoi(text.substr(0, text.find(':')));
    const int i = std::stoi(text.substr(text.find(':') + 1));
    EXPECT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
  }
}

TEST(PeerSessionConcurrency, SessionsComeAndGoWhilePeersTalk) {
  Node a("a");
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    while (!stop) {
      sendText(a.session, "x");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int round = 0; round < 5; ++round) {
    Node b("b" + std::to_string(round));
    connectPair(a, b);
    if (round % 2) a.session->disconnect();
    // b's session is destroyed here, connected or not.
  }
  stop = true;
  sender.join();
  EXPECT_TRUE(a.recorder->waitFor([&](auto&) { return a.session->connectedPeers().empty(); }));
}

// A process that exits while other threads still work stops the network
// thread first; nothing may then hang on it or start sockets behind its back.
TEST(TransportConcurrency, StoppingReleasesWaitersAndRefusesNewNetworkWork) {
  auto transport = std::make_shared<Transport>();
  {
    // A block that throws is logged on the thread and still releases its caller.
    LogCapture log;
    transport->runSync([] { throw std::runtime_error("broken block"); });
    transport->runSync([] {});  // runs once the thread has logged and gone on
    EXPECT_EQ(log.count("Peer network handler failed: broken block"), 1);
  }
  // Hold the thread so that the waiter's block sits in the queue when the
  // loop stops; the hold ends only once stop() has been called.
  std::promise<void> holding;
  transport->post([&] {
    holding.set_value();
    while (!ioContext(*transport).stopped()) std::this_thread::yield();
  });
  holding.get_future().wait();
  std::atomic<bool> ranQueued{false};
  auto waiter = std::async(std::launch::async,
                           [&] { return transport->runSyncIfRunning([&] { ranQueued = true; }); });
  // Give the waiter time to queue its block; either order must end alike.
  waiter.wait_for(std::chrono::milliseconds(50));
  transport->stop();
  EXPECT_FALSE(waiter.get());
  EXPECT_FALSE(ranQueued);

  // Closing still works, on the caller; opening does not.
  bool ranOnCaller = false;
  transport->runSync([&] { ranOnCaller = true; });
  EXPECT_TRUE(ranOnCaller);
  EXPECT_FALSE(transport->runSyncIfRunning([] { ADD_FAILURE() << "ran after the stop"; }));
  LogCapture log;
  EXPECT_EQ(PeerSession::create(PeerID("late"), transport), nullptr);
  EXPECT_EQ(log.count("Peer network thread has stopped; no new session for late"), 1);
}

}  // namespace
}  // namespace qur::testing
