// Advertising and browsing with the embedded mDNS responder on loopback, in
// one process: what is published is found, resolved and withdrawn.
#include <gtest/gtest.h>

#include "peers/advertiser.h"
#include "peers/discovery.h"
#include "peers/peer_browser.h"
#include "session_support.h"

namespace qur::testing {
namespace {

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

}  // namespace
}  // namespace qur::testing
