// Advertising and browsing with the embedded mDNS responder on loopback, in
// one process: what is published is found, resolved and withdrawn.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>

#include "peers/advertiser.h"
#include "peers/discovery.h"
#include "peers/peer_browser.h"
#include "peers/session_controller.h"
#include "session_support.h"

namespace qur::testing {
namespace {

// What arrives in a resolved service is outside input.
TEST(ResolvedServiceInput, TxtDataAndInstanceNamesBecomePeersOnlyWhenSound) {
  auto wire = [](std::initializer_list<std::string> strings) {
    std::vector<std::uint8_t> out;
    for (const auto& s : strings) {
      out.push_back(static_cast<std::uint8_t>(s.size()));
      out.insert(out.end(), s.begin(), s.end());
    }
    return out;
  };
  const PeerID local("local");
  const PeerID remote("remote");
  const std::string id = "id=" + remote.identifierString();
  const std::string version = "v=" + std::to_string(peers::kProtocolVersion);
  auto peerFrom = [&](const std::string& name, const std::vector<std::uint8_t>& txt,
                      std::string* reason) {
    ServiceInstance instance;
    instance.name = name;
    instance.address = "10.1.2.3";
    instance.port = 4100;
    instance.txt = txtRecordFromWire(txt);
    return nearbyPeerFromService(instance, local, reason);
  };
  std::string reason;

  auto peer = peerFrom("twin #2", wire({id, version, "flag", "extra=x"}), &reason);
  ASSERT_TRUE(peer.has_value()) << reason;
  EXPECT_EQ(peer->peer, remote);
  EXPECT_EQ(peer->peer.displayName(), "twin #2") << "the advertised name is shown";
  EXPECT_EQ(peer->endpoint.address, "10.1.2.3");
  EXPECT_EQ(peer->endpoint.port, 4100);

  // Of repeated keys the first counts; a later one cannot override it.
  peer = peerFrom("dup", wire({id, version, "id=" + local.identifierString(), "v=99"}), &reason);
  ASSERT_TRUE(peer.has_value()) << reason;
  EXPECT_EQ(peer->peer, remote);

  reason.clear();
  EXPECT_FALSE(peerFrom("own", wire({"id=" + local.identifierString(), version}), &reason));
  EXPECT_EQ(reason, "") << "our own service is skipped silently";
  for (const auto& txt : {wire({version}), wire({"id=xyz", version}), wire({"id", version}),
                          wire({id, "v=1"}), wire({id}), wire({id.substr(0, 20), version})}) {
    reason.clear();
    EXPECT_FALSE(peerFrom("bad", txt, &reason));
    EXPECT_FALSE(reason.empty());
  }
  // A clear-text device is told apart from a foreign one: it needs an update.
  reason.clear();
  EXPECT_FALSE(peerFrom("old", wire({id, "v=1"}), &reason));
  EXPECT_NE(reason.find("needs update"), std::string::npos) << reason;
  reason.clear();
  EXPECT_FALSE(peerFrom("future", wire({id, "v=9"}), &reason));
  EXPECT_EQ(reason.find("needs update"), std::string::npos) << reason;
  // Truncated TXT data is nothing at all.
  auto truncated = wire({id, version});
  truncated.pop_back();
  EXPECT_TRUE(txtRecordFromWire(truncated).empty());
  reason.clear();
  EXPECT_FALSE(peerFrom("cut", truncated, &reason));
  EXPECT_FALSE(reason.empty());
  // A name no hello could carry (control or invisible characters) is never
  // passed on, not even cleaned: the cleaned name would be someone else's.
  for (const std::string bad : {"bad\nname\x01", "Alpha\u200B", "Alpha "}) {
    reason.clear();
    EXPECT_FALSE(peerFrom(bad, wire({id, version}), &reason)) << bad;
    EXPECT_NE(reason.find("invalid name"), std::string::npos) << reason;
  }
}

class DiscoveryOnLoopback : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Discovery::configure({{"lo"}, {}}); }

  static bool lists(const std::shared_ptr<PeerBrowser>& browser, const PeerID& peer,
                    std::chrono::milliseconds timeout = 15s) {
    return waitUntil([&] { return find(browser, peer).has_value(); }, timeout);
  }
  static std::optional<NearbyPeer> find(const std::shared_ptr<PeerBrowser>& browser,
                                        const PeerID& peer) {
    for (auto& p : browser->nearbyPeers())
      if (p.peer == peer) return p;
    return std::nullopt;
  }
  static bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (predicate()) return true;
      std::this_thread::sleep_for(50ms);
    }
    return predicate();
  }
};

TEST_F(DiscoveryOnLoopback, AdvertisedPeerIsFoundResolvedInvitedAndWithdrawn) {
  const PeerID aID("discovery-a");
  const PeerID bID("discovery-b");
  auto a = PeerSession::create(aID);
  auto b = PeerSession::create(bID);
  auto aRecorder = std::make_shared<Recorder>();
  auto bRecorder = std::make_shared<Recorder>();
  a->setDelegate(aRecorder);
  b->setDelegate(bRecorder);

  Advertiser advertiser("qur-wtalkie", {}, a);
  advertiser.setInvitationHandler(acceptAllInvitations());
  advertiser.start();
  auto selfBrowser = PeerBrowser::create("qur-wtalkie", a);
  auto browser = PeerBrowser::create("qur-wtalkie", b);
  browser->setMaximumNumberOfPeers(2);
  selfBrowser->start();
  browser->start();

  ASSERT_TRUE(lists(browser, aID)) << "not found";
  const auto found = find(browser, aID);
  EXPECT_EQ(found->endpoint.port, a->port());
  EXPECT_EQ(found->endpoint.address, "127.0.0.1");
  EXPECT_EQ(found->peer.displayName(), "discovery-a");
  EXPECT_EQ(advertiser.publishedName(), "discovery-a");
  // Our own service is never offered to us.
  EXPECT_FALSE(find(selfBrowser, aID));

  ASSERT_TRUE(browser->invite(aID));
  ASSERT_TRUE(bRecorder->waitForState(aID, PeerSessionState::Connected));
  ASSERT_TRUE(aRecorder->waitForState(bID, PeerSessionState::Connected));
  // Two peers counting ourselves: the browser admits nobody else now.
  EXPECT_FALSE(browser->invite(aID));

  advertiser.stop();
  EXPECT_TRUE(waitUntil([&] { return !find(browser, aID); }, 15s)) << "still listed";
  EXPECT_FALSE(a->acceptsInvitations());
}

TEST_F(DiscoveryOnLoopback, SameDisplayNameIsRenamedAndBothAreFound) {
  const PeerID first("twin");
  const PeerID second("twin");
  auto s1 = PeerSession::create(first);
  auto s2 = PeerSession::create(second);
  auto watcher = PeerSession::create(PeerID("watcher"));
  Advertiser a1("qur-wtalkie", {}, s1);
  a1.start();
  auto browser = PeerBrowser::create("qur-wtalkie", watcher);
  browser->start();
  ASSERT_TRUE(lists(browser, first));
  Advertiser a2("qur-wtalkie", {}, s2);
  a2.start();
  ASSERT_TRUE(lists(browser, second));
  EXPECT_EQ(a1.publishedName(), "twin");
  EXPECT_NE(a2.publishedName(), "twin");
  EXPECT_EQ(find(browser, second)->endpoint.port, s2->port());
}

TEST_F(DiscoveryOnLoopback, BrowserDelegateHearsDoneAndCancel) {
  struct Delegate : PeerBrowserDelegate {
    int done = 0, cancelled = 0;
    void browserViewControllerDidFinish(PeerBrowser&) override { ++done; }
    void browserViewControllerWasCancelled(PeerBrowser&) override { ++cancelled; }
  };
  auto delegate = std::make_shared<Delegate>();
  auto browser = PeerBrowser::create("qur-wtalkie", PeerSession::create(PeerID("d")));
  browser->setDelegate(delegate);
  browser->start();
  EXPECT_TRUE(browser->isBrowsing());
  browser->done();
  EXPECT_FALSE(browser->isBrowsing());
  browser->start();
  browser->cancel();
  EXPECT_EQ(delegate->done, 1);
  EXPECT_EQ(delegate->cancelled, 1);
  EXPECT_FALSE(browser->invite(PeerID("nobody")));
}

// Disconnecting replaces the session; whoever shows the nearby list must not
// see a peer leave and come back for it, nor a browser that starts over.
TEST_F(DiscoveryOnLoopback, SessionResetsDoNotRestartBrowsingNorMakeNearbyPeersFlap) {
  // Other engineers' devices may be on loopback too: names of our own.
  const std::string suffix = std::to_string(getpid());
  MultipeerSessionController alice("flap-alice-" + suffix, "qur-wtalkie");
  auto bobSession = PeerSession::create(PeerID("flap-bob-" + suffix));
  Advertiser bob("qur-wtalkie", {}, bobSession);
  bob.setInvitationHandler(acceptAllInvitations());
  bob.start();

  // Shows the nearby list as the program's screens do: the controller's
  // browser, followed through every session change.
  struct Follower {
    MultipeerSessionController& controller;
    PeerID watched;
    std::shared_ptr<PeerBrowser> browser;
    std::atomic<bool> listed{false};
    std::atomic<int> left{0};
    std::atomic<int> restarts{0};

    void follow() {
      auto current = controller.browserViewController();
      if (current == browser) return;
      if (browser) {
        browser->setNearbyPeersChangedHandler(nullptr);
        browser->stop();
        ++restarts;
      }
      browser = current;
      browser->setNearbyPeersChangedHandler([this](const auto& nearby) { show(nearby); });
      browser->start();
      show(browser->nearbyPeers());
    }
    void show(const std::vector<NearbyPeer>& nearby) {
      const bool there =
          std::any_of(nearby.begin(), nearby.end(), [&](auto& p) { return p.peer == watched; });
      if (listed && !there) ++left;
      if (there) listed = true;
    }
  } follower{alice, bobSession->myPeerID(), nullptr};
  std::atomic<int> replacements{0};
  auto subscription =
      alice.sessionProperty().values().subscribeNext([&](const std::shared_ptr<PeerSession>&) {
        ++replacements;
        follower.follow();
      });
  const auto browser = alice.browserViewController();
  ASSERT_TRUE(lists(browser, bobSession->myPeerID()));

  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(lists(alice.browserViewController(), bobSession->myPeerID()));
    ASSERT_TRUE(alice.browserViewController()->invite(bobSession->myPeerID()));
    ASSERT_TRUE(waitUntil([&] { return alice.session()->connectedPeers().size() == 1; }, 10s));
    alice.reset();
    ASSERT_TRUE(waitUntil([&] { return bobSession->connectedPeers().empty(); }, 10s));
  }
  // Time for a withdrawal and a new announcement to arrive, had there been one.
  std::this_thread::sleep_for(3s);
  subscription->dispose();
  std::printf(
      "%d session resets: nearby peer left the list %d times, browsing restarted %d times\n",
      kRounds, follower.left.load(), follower.restarts.load());
  if (follower.browser) follower.browser->setNearbyPeersChangedHandler(nullptr);
  EXPECT_EQ(replacements.load(), kRounds + 1);
  EXPECT_EQ(alice.browserViewController(), browser);
  EXPECT_EQ(browser->session(), alice.session());
  EXPECT_TRUE(browser->isBrowsing());
  EXPECT_TRUE(find(browser, bobSession->myPeerID()).has_value());
  EXPECT_EQ(follower.restarts.load(), 0);
  EXPECT_EQ(follower.left.load(), 0);
}

// A peer that stops answering is dropped at a re-check, and listed again
// once it is announced again.
TEST_F(DiscoveryOnLoopback, RecheckDropsAPeerThatDoesNotAnswerAndKeepsOneThatDoes) {
  const std::string suffix = std::to_string(getpid());
  auto liveSession = PeerSession::create(PeerID("recheck-live-" + suffix));
  auto goneSession = PeerSession::create(PeerID("recheck-gone-" + suffix));
  const PeerID live = liveSession->myPeerID();
  const PeerID gone = goneSession->myPeerID();
  Advertiser liveAdvertiser("qur-wtalkie", {}, liveSession);
  // Published by hand at a port where nothing listens.
  auto discovery = Discovery::shared();
  ASSERT_TRUE(discovery);
  auto published = discovery->publish(
      "qur-wtalkie", gone.displayName(), 9,
      {"id=" + gone.identifierString(), "v=" + std::to_string(peers::kProtocolVersion)});
  liveAdvertiser.start();
  auto browser = PeerBrowser::create("qur-wtalkie", PeerSession::create(PeerID("recheck-w")));
  browser->start();
  ASSERT_TRUE(lists(browser, live));
  ASSERT_TRUE(lists(browser, gone));
  browser->recheck(live);
  browser->recheck(gone);
  browser->recheck(PeerID("never-listed"));
  EXPECT_TRUE(waitUntil([&] { return !find(browser, gone); }, 10s)) << "still listed";
  EXPECT_TRUE(find(browser, live).has_value()) << "a peer that answers was dropped";
  // Announced again (withdrawn and published anew): listed again.
  published.reset();
  published = discovery->publish(
      "qur-wtalkie", gone.displayName(), 9,
      {"id=" + gone.identifierString(), "v=" + std::to_string(peers::kProtocolVersion)});
  EXPECT_TRUE(lists(browser, gone)) << "not listed again after a new announcement";
}

// The browser is used from the main thread, the session queue (re-checks
// after state changes) and the transport thread (results) at once.
class DiscoveryConcurrency : public DiscoveryOnLoopback {};

TEST_F(DiscoveryConcurrency, BrowserFollowsSessionsAndRechecksWhileResultsArrive) {
  const std::string suffix = std::to_string(getpid());
  const PeerID local("conc-local-" + suffix);
  auto firstSession = PeerSession::create(local);
  auto browser = PeerBrowser::create("qur-wtalkie", firstSession);
  auto targetSession = PeerSession::create(PeerID("conc-target-" + suffix));
  const PeerID target = targetSession->myPeerID();
  Advertiser advertiser("qur-wtalkie", {}, targetSession);
  advertiser.start();
  browser->start();
  ASSERT_TRUE(lists(browser, target));

  std::atomic<bool> stop{false};
  std::vector<std::shared_ptr<PeerSession>> sessions;
  for (int i = 0; i < 4; ++i) sessions.push_back(PeerSession::create(local));
  std::thread replacing([&] {
    for (int i = 0; !stop; ++i) {
      browser->setSession(sessions[i % sessions.size()]);
      std::this_thread::yield();
    }
  });
  std::thread rechecking([&] {
    while (!stop) {
      browser->sessionPeerDidChangeState(firstSession, target, PeerSessionState::NotConnected);
      browser->recheck(PeerID("conc-nobody"));
      std::this_thread::sleep_for(50ms);
    }
  });
  std::size_t listings = 0;
  const auto end = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < end) listings += browser->nearbyPeers().size();
  stop = true;
  replacing.join();
  rechecking.join();
  // A session of another peer is refused; the browser keeps its own.
  const auto last = browser->session();
  browser->setSession(PeerSession::create(PeerID("conc-stranger")));
  EXPECT_EQ(browser->session(), last);
  EXPECT_GT(listings, 0u);
  // The target answered every re-check, so it is still listed.
  std::this_thread::sleep_for(std::chrono::milliseconds(PeerBrowser::kRecheckTimeoutMs / 2));
  EXPECT_TRUE(find(browser, target).has_value());
}

}  // namespace
}  // namespace qur::testing
