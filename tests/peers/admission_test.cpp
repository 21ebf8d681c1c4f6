// Peer sessions on a hostile or busy network, in one process over loopback:
// crossed invitations, floods of messages, pings and connections, forged
// joins, twin names, and how every invitation ends for both sides.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "peers/peer_session.h"
#include "peers/split_delegate.h"
#include "session_support.h"
#include "support/log_capture.h"

namespace qur::testing {
namespace {

using peers::FrameType;

struct Node {
  explicit Node(const std::string& name, InvitationHandler handler = acceptAllInvitations(),
                PeerSession::Options options = {})
      : id(name),
        session(PeerSession::create(id, options)),
        recorder(std::make_shared<Recorder>()) {
    session->setDelegate(recorder);
    session->setInvitationHandler(std::move(handler));
    session->setInvitationResultHandler([this](const InvitationResult& r) {
      std::lock_guard lock(mutex);
      results.push_back(r);
      cv.notify_all();
    });
  }
  ~Node() {
    session->setInvitationResultHandler(nullptr);
    // A result the network thread is telling right now finishes first.
    session->transport()->runSync([] {});
  }

  std::optional<InvitationResult> waitForResult(bool invitedUs, std::chrono::milliseconds t = 10s) {
    std::unique_lock lock(mutex);
    std::optional<InvitationResult> found;
    cv.wait_for(lock, t, [&] {
      for (auto& r : results)
        if (r.invitedUs == invitedUs) found = r;
      return found.has_value();
    });
    return found;
  }
  std::size_t resultCount() {
    std::lock_guard lock(mutex);
    return results.size();
  }

  PeerID id;
  std::shared_ptr<PeerSession> session;
  std::shared_ptr<Recorder> recorder;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<InvitationResult> results;
};

// An invitation handler that keeps the replies for the test to give.
struct HeldInvitations {
  std::mutex mutex;
  std::vector<std::pair<PeerID, std::function<void(bool)>>> asked;
  InvitationHandler handler() {
    return [this](const PeerID& peer, std::function<void(bool)> reply) {
      std::lock_guard lock(mutex);
      asked.emplace_back(peer, std::move(reply));
    };
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return asked.size();
  }
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Brings a raw peer into the session as an invited member.
bool joinAsInvitee(RawPeer& raw, const std::string& name = "raw") {
  raw.sendHello(name);
  if (!raw.waitForFrame(FrameType::Hello)) return false;
  raw.sendFrame(FrameType::Invite);
  return raw.waitForFrame(FrameType::Accept).has_value();
}

// --- crossed invitations ---------------------------------------------------

TEST(PeerSessionCrossing, InvitingEachOtherAtOnceEndsConnectedOverOneLinkEveryTime) {
  for (int run = 0; run < 20; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    Node a("a");
    Node b("b");
    // Both dial before either hears of the other.
    a.session->invitePeer(loopback(b.session), b.id);
    b.session->invitePeer(loopback(a.session), a.id);
    ASSERT_TRUE(a.recorder->waitForState(b.id, PeerSessionState::Connected));
    ASSERT_TRUE(b.recorder->waitForState(a.id, PeerSessionState::Connected));
    // The link is usable both ways, which also proves no late close is on its way:
    // the messages travel behind any frame that would end it.
    ASSERT_TRUE(sendText(a.session, "from a"));
    ASSERT_TRUE(sendText(b.session, "from b"));
    ASSERT_TRUE(b.recorder->waitFor([&](auto&) { return !b.recorder->dataFrom(a.id).empty(); }));
    ASSERT_TRUE(a.recorder->waitFor([&](auto&) { return !a.recorder->dataFrom(b.id).empty(); }));
    EXPECT_EQ(a.session->connectedPeers(), std::vector<PeerID>{b.id});
    EXPECT_EQ(b.session->connectedPeers(), std::vector<PeerID>{a.id});
    EXPECT_EQ(a.recorder->statesOf(b.id), (std::vector<int>{1, 2}));
    EXPECT_EQ(b.recorder->statesOf(a.id), (std::vector<int>{1, 2}));
    // Each inviter hears its invitation was accepted.
    auto ra = a.waitForResult(false);
    auto rb = b.waitForResult(false);
    ASSERT_TRUE(ra && rb);
    EXPECT_EQ(ra->outcome, InvitationOutcome::Accepted);
    EXPECT_EQ(rb->outcome, InvitationOutcome::Accepted);
  }
}

TEST(PeerSessionCrossing, InvitingBackSomeoneWhoAsksIsAYes) {
  HeldInvitations held;
  Node a("a");
  Node b("b", held.handler());
  a.session->invitePeer(loopback(b.session), b.id);
  ASSERT_TRUE(eventually([&] { return held.count() == 1; }));
  // B's user invites A instead of answering.
  b.session->invitePeer(loopback(a.session), a.id);
  ASSERT_TRUE(a.recorder->waitForState(b.id, PeerSessionState::Connected));
  ASSERT_TRUE(b.recorder->waitForState(a.id, PeerSessionState::Connected));
  EXPECT_EQ(b.recorder->statesOf(a.id), (std::vector<int>{1, 2}));
  // The question is now moot: answering it changes nothing.
  {
    LogCapture log;
    held.asked[0].second(false);
    ASSERT_TRUE(eventually([&] { return log.contains("is gone"); }));
  }
  EXPECT_EQ(a.session->connectedPeers(), std::vector<PeerID>{b.id});
}

// --- inbound floods -------------------------------------------------------

// A delegate that keeps the session's tickets, as a consumer that has
// fallen behind would.
struct HoardingDelegate : PeerSessionDelegate {
  std::mutex mutex;
  std::vector<std::string> messages;
  std::vector<std::shared_ptr<void>> tickets;
  void sessionPeerDidChangeState(const std::shared_ptr<PeerSession>&, const PeerID&,
                                 PeerSessionState) override {}
  void sessionDidReceiveDataFromPeer(const std::shared_ptr<PeerSession>&,
                                     std::span<const std::uint8_t>, const PeerID&) override {}
  void sessionDidReceiveMessageFromPeer(const std::shared_ptr<PeerSession>&,
                                        const std::shared_ptr<const std::vector<std::uint8_t>>& m,
                                        const PeerID&,
                                        const std::shared_ptr<void>& ticket) override {
    std::lock_guard lock(mutex);
    messages.emplace_back(m->begin(), m->end());
    tickets.push_back(ticket);
  }
  std::size_t held() {
    std::lock_guard lock(mutex);
    return tickets.size();
  }
  std::size_t received() {
    std::lock_guard lock(mutex);
    return messages.size();
  }
  void releaseAll() {
    std::lock_guard lock(mutex);
    tickets.clear();
  }
};

std::string padded(int i) {
  return "#" + std::to_string(i) + std::string(500, '.');
}

TEST(PeerSessionInbound, ConsumerThatFallsBehindHoldsTheSenderNotTheMemory) {
  constexpr int kMessages = 20000;  // 10 MB: more than any socket buffers hold
  PeerSession::Options options;
  options.maxInboundMessages = 32;
  options.keepAliveTimeoutMs = 60000;  // the raw peer answers no Pings
  auto victim = PeerSession::create(PeerID("victim"), options);
  auto hoard = std::make_shared<HoardingDelegate>();
  victim->setDelegate(hoard);
  victim->setInvitationHandler(acceptAllInvitations());
  RawPeer raw(victim->port(), 4096);
  ASSERT_TRUE(joinAsInvitee(raw));

  std::atomic<int> written{0};
  std::atomic<bool> stop{false};
  // Blocking writes: a held-back reader stalls the sender inside TLS.
  std::thread flooder([&] {
    for (int i = 0; i < kMessages && !stop && !raw.writeFailed(); ++i) {
      raw.sendFrame(FrameType::Data, wireMessageCarrying(padded(i)));
      if (!raw.writeFailed()) ++written;
    }
  });
  // Exactly the bound is handed over; the rest waits in the sender.
  ASSERT_TRUE(eventually([&] { return hoard->held() == 32; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(hoard->held(), 32u);
  EXPECT_LT(written.load(), kMessages);
  // Catching up lets it all through, whole and in order, bound by bound.
  while (hoard->received() < static_cast<std::size_t>(kMessages)) {
    const auto before = hoard->received();
    hoard->releaseAll();
    if (!eventually([&] { return hoard->received() > before; })) break;
    EXPECT_LE(hoard->held(), 32u);
  }
  stop = true;
  flooder.join();
  ASSERT_EQ(hoard->received(), static_cast<std::size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) {
    const auto expected = wireMessageCarrying(padded(i));
    if (hoard->messages[static_cast<std::size_t>(i)] !=
        std::string(expected.begin(), expected.end())) {
      ADD_FAILURE() << "message " << i << " lost or out of order";
      break;
    }
  }
  EXPECT_EQ(victim->connectedPeers().size(), 1u);
}

TEST(PeerSessionInbound, SplitDelegateKeepsTheTicketUntilEveryListenerHandledTheMessage) {
  struct Gate : MultipeerSessionDataReceiptDelegate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int calls = 0;
    void sessionDidReceiveDataFromPeer(const std::shared_ptr<PeerSession>&,
                                       std::span<const std::uint8_t>, const PeerID&) override {
      std::unique_lock lock(mutex);
      cv.wait(lock, [&] { return open; });
      ++calls;
    }
  };
  auto split = std::make_shared<MultipeerSessionSplitDelegate>();
  auto first = std::make_shared<Gate>();
  auto second = std::make_shared<Gate>();
  split->addDataReceiptDelegate(first);
  split->addDataReceiptDelegate(second);
  std::atomic<bool> released{false};
  {
    std::shared_ptr<void> ticket(nullptr, [&](void*) { released = true; });
    auto message = std::make_shared<const std::vector<std::uint8_t>>(3, 7);
    split->sessionDidReceiveMessageFromPeer(nullptr, message, PeerID("p"), ticket);
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(released);
  {
    std::lock_guard lock(first->mutex);
    first->open = true;
    first->cv.notify_all();
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(released);  // the second listener still has it
  {
    std::lock_guard lock(second->mutex);
    second->open = true;
    second->cv.notify_all();
  }
  split->operationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(released);
  EXPECT_EQ(first->calls + second->calls, 2);
}

TEST(PeerSessionInbound, GarbageSenderIsDroppedAfterAFewWithOneLineAndOthersGoOn) {
  PeerSession::Options options;
  options.messageValidator = [](std::span<const std::uint8_t> bytes) {
    return !bytes.empty() && bytes[0] != 0xFF;
  };
  options.maxMalformedMessages = 5;
  Node victim("victim", acceptAllInvitations(), options);
  Node friendly("friendly");
  friendly.session->invitePeer(loopback(victim.session), victim.id);
  ASSERT_TRUE(victim.recorder->waitForState(friendly.id, PeerSessionState::Connected));

  LogCapture log;
  const std::vector<std::uint8_t> good = {1, 2, 3};
  const std::vector<std::uint8_t> garbage(7, 0xFF);  // a 12-byte frame
  // The flooder comes back after each drop; the log does not grow with it.
  for (int attempt = 0; attempt < 20; ++attempt) {
    RawPeer raw(victim.session->port());
    ASSERT_TRUE(joinAsInvitee(raw));
    raw.sendFrame(FrameType::Data, good);
    for (int i = 0; i < 10000 && !raw.writeFailed(); ++i) raw.sendFrame(FrameType::Data, garbage);
    EXPECT_TRUE(raw.waitUntilClosed());
    ASSERT_TRUE(victim.recorder->waitForState(raw.identity(), PeerSessionState::NotConnected));
    EXPECT_EQ(victim.recorder->dataFrom(raw.identity()), std::vector<std::string>{"\x01\x02\x03"});
  }
  EXPECT_EQ(log.count("malformed"), 1);
  EXPECT_TRUE(log.contains("malformed message of 7 bytes"));
  // The friendly peer never noticed.
  EXPECT_TRUE(sendText(friendly.session, "still here"));
  EXPECT_TRUE(victim.recorder->waitFor(
      [&](auto&) { return victim.recorder->dataFrom(friendly.id).size() == 1; }));
}

// --- control frames -------------------------------------------------------

TEST(PeerSessionControl, PingerThatNeverReadsIsClosedBeforeAndAfterAcceptance) {
  PeerSession::Options options;
  options.handshakeTimeoutMs = 60000;  // only the send bound may end these
  options.keepAliveIntervalMs = 100;
  options.keepAliveTimeoutMs = 1000;
  options.invitationTimeoutMs = 60000;
  Node victim("victim", acceptAllInvitations(), options);
  for (bool accepted : {false, true}) {
    SCOPED_TRACE(accepted ? "member" : "stranger");
    RawPeer raw(victim.session->port(), 2048);
    if (accepted) {
      ASSERT_TRUE(joinAsInvitee(raw));
    } else {
      raw.sendHello();
    }
    const std::vector<std::uint8_t> pings = [] {
      std::vector<std::uint8_t> out;
      const auto ping = peers::encodeFrame(FrameType::Ping, {});
      for (int i = 0; i < 2000; ++i) out.insert(out.end(), ping.begin(), ping.end());
      return out;
    }();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!raw.writeFailed() && std::chrono::steady_clock::now() < deadline) {
      // Blocks while the session's buffers are full; fails once it hangs up.
      raw.sendRaw(pings);
      std::this_thread::sleep_for(2ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now(), deadline) << "the pinger was never closed";
  }
}

// --- admission ------------------------------------------------------------

TEST(PeerSessionAdmission, OneHostCannotTakeEveryPendingSlot) {
  PeerSession::Options options;
  options.handshakeTimeoutMs = 60000;
  options.maxPendingConnections = 16;
  options.maxPendingPerAddress = 4;
  Node victim("victim", acceptAllInvitations(), options);
  LogCapture log;
  std::vector<std::unique_ptr<RawPeer>> flood;
  for (int i = 0; i < 40; ++i)
    flood.push_back(std::make_unique<RawPeer>(victim.session->port(), 0, "127.0.0.2"));
  std::size_t closed = 0;
  for (auto& r : flood) closed += r->waitUntilClosed(200ms) ? 1 : 0;
  EXPECT_EQ(closed, 36u);
  // A real device on another address still gets in and hears the outcome.
  Node c("c");
  c.session->invitePeer(loopback(victim.session), victim.id);
  ASSERT_TRUE(c.recorder->waitForState(victim.id, PeerSessionState::Connected));
  auto result = c.waitForResult(false);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->outcome, InvitationOutcome::Accepted);
  // One warning line for the whole flood, never an error.
  int refusals = 0;
  for (auto& m : log.messages()) {
    if (m.message.find("Refusing connection") == std::string::npos) continue;
    ++refusals;
    EXPECT_EQ(m.flag, LogFlagWarning);
  }
  EXPECT_EQ(refusals, 1);
}

TEST(PeerSessionAdmission, ForgedJoinIsRefusedAndTheRealNewcomerGetsIn) {
  HeldInvitations asked;
  Node a("a");
  Node b("b", asked.handler());
  // C's identifier sorts below B's, so C dials B: the same way the attacker comes.
  std::optional<Node> c;
  for (int i = 0; i < 64 && !c; ++i) {
    c.emplace("c");
    if (!(c->id < b.id)) c.reset();
  }
  ASSERT_TRUE(c);
  b.session->invitePeer(loopback(a.session), a.id);
  ASSERT_TRUE(b.recorder->waitForState(a.id, PeerSessionState::Connected));

  LogCapture log;
  // The attacker knows C's identifier (it is public) but not C's key, and
  // names A as voucher.
  RawPeer attacker(b.session->port(), 0, "127.0.0.2");
  attacker.sendHelloAs(c->id.identifier(), "c");
  attacker.sendFrame(FrameType::Join, peers::encodeJoin(a.id.identifier()));
  EXPECT_TRUE(attacker.waitUntilClosed());
  // A invites the real C and introduces it to B.
  a.session->invitePeer(loopback(c->session), c->id);
  ASSERT_TRUE(b.recorder->waitForState(c->id, PeerSessionState::Connected));
  EXPECT_TRUE(c->recorder->waitForState(b.id, PeerSessionState::Connected));
  EXPECT_TRUE(log.contains("a different peer answered"));
  EXPECT_EQ(asked.count(), 0u);  // nobody asked B's user, and nobody got in unasked
  EXPECT_EQ(b.session->connectedPeers().size(), 2u);

  // The real C is in; another claim to its identifier is refused.
  RawPeer second(b.session->port(), 0, "127.0.0.2", c->id);
  second.sendHello("c");
  second.sendFrame(FrameType::Join, peers::encodeJoin(a.id.identifier()));
  EXPECT_TRUE(second.waitUntilClosed());
  ASSERT_TRUE(sendText(c->session, "real"));
  EXPECT_TRUE(b.recorder->waitFor([&](auto&) { return b.recorder->dataFrom(c->id).size() == 1; }));
  EXPECT_EQ(b.recorder->statesOf(c->id), (std::vector<int>{1, 2}));
}

TEST(PeerSessionAdmission, SecondInvitationUnderTheSameNameWaitsTooAndTellsNobodyAboutTheFirst) {
  HeldInvitations held;
  Node b("b", held.handler());
  RawPeer first(b.session->port(), 0, "127.0.0.1");
  first.sendHello("Charlie");
  ASSERT_TRUE(first.waitForFrame(FrameType::Hello));
  first.sendFrame(FrameType::Invite);
  ASSERT_TRUE(eventually([&] { return held.count() == 1; }));
  auto details = b.session->pendingInvitation(first.identity());
  ASSERT_TRUE(details);
  EXPECT_EQ(details->address, "127.0.0.1");
  EXPECT_EQ(details->identifierPrefix, first.identity().identifierString().substr(0, 8));

  // The second Charlie is asked about too (the user tells them apart by
  // key), and learns nothing of the first: no "busy" Decline.
  RawPeer impostor(b.session->port(), 0, "127.0.0.2");
  impostor.sendHello("Charlie");
  ASSERT_TRUE(impostor.waitForFrame(FrameType::Hello));
  impostor.sendFrame(FrameType::Invite);
  ASSERT_TRUE(eventually([&] { return held.count() == 2; }));
  EXPECT_FALSE(impostor.waitForFrame(FrameType::Decline, 300ms));

  // Each answer goes to the one it was given for.
  held.asked[0].second(true);
  held.asked[1].second(false);
  EXPECT_TRUE(first.waitForFrame(FrameType::Accept));
  auto decline = impostor.waitForFrame(FrameType::Decline);
  ASSERT_TRUE(decline);
  EXPECT_EQ(peers::decodeDecline(decline->payload), peers::DeclineReason::Declined);
  EXPECT_EQ(b.session->connectedPeers(), std::vector<PeerID>{first.identity()});
  EXPECT_FALSE(b.session->pendingInvitation(first.identity()));
}

// --- consent for the mesh and for our own invitations -----------------------

TEST(PeerSessionMesh, AnIntroducedDeviceGetsInOnlyIfBothSidesAgree) {
  struct Case {
    bool diallerSays;
    bool dialledSays;
    bool joined;
  };
  for (const Case c :
       {Case{true, true, true}, Case{false, true, false}, Case{true, false, false}}) {
    SCOPED_TRACE(std::to_string(c.diallerSays) + std::to_string(c.dialledSays));
    Node a("a"), b("b"), d("d");
    std::mutex mutex;
    std::vector<IntroductionRequest> asked;
    auto handler = [&](const IntroductionRequest& request, std::function<void(bool)> reply) {
      {
        std::lock_guard lock(mutex);
        asked.push_back(request);
      }
      reply(request.dialling ? c.diallerSays : c.dialledSays);
    };
    b.session->setIntroductionHandler(handler);
    d.session->setIntroductionHandler(handler);
    a.session->invitePeer(loopback(b.session), b.id);
    ASSERT_TRUE(b.recorder->waitForState(a.id, PeerSessionState::Connected));
    a.session->invitePeer(loopback(d.session), d.id);
    ASSERT_TRUE(d.recorder->waitForState(a.id, PeerSessionState::Connected));
    EXPECT_EQ(b.recorder->waitForState(d.id, PeerSessionState::Connected, c.joined ? 10s : 1s),
              c.joined);
    std::lock_guard lock(mutex);
    // The dialler asks before dialling; the dialled side asks only when a
    // Join it was told of arrives. Both hear who vouched.
    ASSERT_EQ(asked.size(), c.diallerSays ? 2u : 1u);
    EXPECT_TRUE(asked[0].dialling);
    for (const auto& request : asked) EXPECT_EQ(request.member, a.id);
  }
}

TEST(PeerSessionInvitation, ADeviceTheInviteeCheckRefusesHearsNoInvite) {
  HeldInvitations held;
  Node inviter("inviter");
  Node posing("Alpha", held.handler());
  inviter.session->setInviteeCheck(
      [](const PeerID& invitee) { return invitee.displayName() != "Alpha"; });
  inviter.session->invitePeer(loopback(posing.session), posing.id);
  auto r = inviter.waitForResult(false);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->outcome, InvitationOutcome::Unreachable);
  EXPECT_EQ(held.count(), 0u) << "the refused device was asked about our invitation";
  EXPECT_TRUE(posing.session->connectedPeers().empty());
}

// --- invitation endings ---------------------------------------------------

TEST(PeerSessionInvitation, EveryEndingIsToldToBothSides) {
  PeerSession::Options slow;
  slow.invitationTimeoutMs = 300;
  slow.handshakeTimeoutMs = 60000;  // nothing but the answer may close early
  Node inviter("inviter");
  {
    SCOPED_TRACE("declined");
    Node invitee("invitee", declineAllInvitations(), slow);
    inviter.results.clear();
    inviter.session->invitePeer(loopback(invitee.session), invitee.id);
    auto r = inviter.waitForResult(false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, InvitationOutcome::Declined);
    auto told = invitee.waitForResult(true);
    ASSERT_TRUE(told);
    EXPECT_EQ(told->outcome, InvitationOutcome::Declined);
  }
  {
    SCOPED_TRACE("accepted");
    Node invitee("invitee", acceptAllInvitations(), slow);
    inviter.results.clear();
    inviter.session->invitePeer(loopback(invitee.session), invitee.id);
    auto r = inviter.waitForResult(false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, InvitationOutcome::Accepted);
    inviter.session->disconnect();
  }
  {
    SCOPED_TRACE("timed out");
    HeldInvitations held;
    Node invitee("invitee", held.handler(), slow);
    inviter.results.clear();
    inviter.session->invitePeer(loopback(invitee.session), invitee.id);
    auto r = inviter.waitForResult(false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, InvitationOutcome::TimedOut);
    auto told = invitee.waitForResult(true);
    ASSERT_TRUE(told);
    EXPECT_EQ(told->outcome, InvitationOutcome::TimedOut);
    // A late yes finds nothing to accept.
    LogCapture log;
    held.asked.at(0).second(true);
    EXPECT_TRUE(eventually([&] { return log.contains("is gone"); }));
    EXPECT_TRUE(invitee.session->connectedPeers().empty());
  }
  {
    SCOPED_TRACE("withdrawn");
    HeldInvitations held;
    Node invitee("invitee", held.handler());
    inviter.results.clear();
    inviter.session->invitePeer(loopback(invitee.session), invitee.id);
    ASSERT_TRUE(eventually([&] { return held.count() == 1; }));
    inviter.session->withdrawInvitation(invitee.id);
    auto r = inviter.waitForResult(false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, InvitationOutcome::Withdrawn);
    auto told = invitee.waitForResult(true);
    ASSERT_TRUE(told);
    EXPECT_EQ(told->outcome, InvitationOutcome::Withdrawn);
    held.asked.at(0).second(true);
    EXPECT_FALSE(eventually([&] { return !invitee.session->connectedPeers().empty(); }, 500ms));
  }
  {
    SCOPED_TRACE("unreachable");
    std::uint16_t closedPort;
    {
      Node gone("gone");
      closedPort = gone.session->port();
    }
    inviter.results.clear();
    inviter.session->invitePeer({"127.0.0.1", closedPort}, PeerID("gone"));
    auto r = inviter.waitForResult(false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, InvitationOutcome::Unreachable);
  }
}

TEST(PeerSessionInvitation, HelloCarriesTheAdvertisedNameAfterARename) {
  Node a("Charlie");
  Node b("b");
  a.session->setAdvertisedName("Charlie #2");
  a.session->invitePeer(loopback(b.session), b.id);
  ASSERT_TRUE(b.recorder->waitForState(a.id, PeerSessionState::Connected));
  const auto peers = b.session->connectedPeers();
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers[0].displayName(), "Charlie #2");
  EXPECT_EQ(peers[0], a.id);  // the same device, only renamed
}

TEST(PeerSessionInvitation, DeclineHangsUpAtOnce) {
  PeerSession::Options options;
  options.handshakeTimeoutMs = 60000;
  options.keepAliveTimeoutMs = 60000;
  Node b("b", declineAllInvitations(), options);
  RawPeer raw(b.session->port());
  raw.sendHello();
  ASSERT_TRUE(raw.waitForFrame(FrameType::Hello));
  raw.sendFrame(FrameType::Invite);
  auto decline = raw.waitForFrame(FrameType::Decline);
  ASSERT_TRUE(decline);
  EXPECT_EQ(peers::decodeDecline(decline->payload), peers::DeclineReason::Declined);
  // Only the decline can close it: every timer is a minute away.
  EXPECT_TRUE(raw.waitUntilClosed(10s));
}

}  // namespace
}  // namespace qur::testing
