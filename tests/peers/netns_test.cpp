// Several peer processes on their own network namespaces joined by a bridge
// (and two on plain loopback): discovery, invitations, the mesh, and peers
// that die or lose their link. Each peer is a qur_peer_tool process.
#include <gtest/gtest.h>
#include <signal.h>

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "peers/protocol.h"
#include "private_avahi.h"
#include "support/child_process.h"
#include "support/netns.h"
#include "tool_process.h"

namespace qur::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string toolPath() {
  return executableDirectory() + "/qur_peer_tool";
}

// One peer process and what it said, with the session and data lines.
class Tool : public ToolProcess {
 public:
  using ToolProcess::ToolProcess;

  bool state(const Tool& peer, int state, std::chrono::milliseconds timeout = 15s) {
    return sawPrefix("state " + peer.id + " " + std::to_string(state), timeout);
  }
  bool found(const Tool& peer, std::chrono::milliseconds timeout = 15s) {
    return sawPrefix("found " + peer.id, timeout);
  }
  std::vector<std::string> dataFrom(const Tool& peer) const {
    std::vector<std::string> out;
    const std::string prefix = "data " + peer.id + " ";
    for (const auto& l : linesWithPrefix(prefix)) out.push_back(l.substr(prefix.size()));
    return out;
  }
  // Reads output until n data lines from the peer have arrived.
  bool waitForData(const Tool& peer, std::size_t n, std::chrono::milliseconds timeout = 15s) {
    const auto deadline = Clock::now() + timeout;
    while (dataFrom(peer).size() < n) {
      if (Clock::now() > deadline) return false;
      process().readLine(100ms);
    }
    return true;
  }
  void kill() { process().kill(SIGKILL); }
};

class PeersNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    lab = std::make_unique<NetnsLab>(3);
    ASSERT_TRUE(lab->ok()) << "cannot create network namespaces (root and iproute2 needed)";
  }
  void TearDown() override {
    tools.clear();
    lab.reset();
  }
  Tool& start(int host, const std::string& name) {
    tools.push_back(std::make_unique<Tool>(
        lab->spawn(host, {toolPath(), "--name", name, "--interfaces", NetnsLab::kInterface})));
    EXPECT_TRUE(tools.back()->ok()) << name << " did not start";
    return *tools.back();
  }
  // advertiser advertises with the handler, browser finds and invites it.
  void connect(Tool& browser, Tool& advertiser, const std::string& handler = "accept") {
    advertiser.command("handler " + handler);
    advertiser.command("advertise on");
    browser.command("browse on");
    ASSERT_TRUE(browser.found(advertiser)) << "not discovered";
    browser.command("invite " + advertiser.id);
  }

  std::unique_ptr<NetnsLab> lab;
  std::vector<std::unique_ptr<Tool>> tools;
};

TEST_F(PeersNetns, DiscoveredPeerAcceptsTheInvitationAndMessagesFlowBothWays) {
  Tool& a = start(0, "alpha");
  Tool& b = start(1, "bravo");
  connect(a, b);
  ASSERT_TRUE(a.state(b, 2));
  ASSERT_TRUE(b.state(a, 2));
  EXPECT_TRUE(a.waitFor([&](const std::string& l) {
    return l.rfind("found " + b.id + " " + lab->address(1) + " ", 0) == 0;
  }));
  a.command("send hello bravo");
  b.command("send hello alpha");
  ASSERT_TRUE(b.waitForData(a, 1));
  ASSERT_TRUE(a.waitForData(b, 1));
  EXPECT_EQ(b.dataFrom(a), std::vector<std::string>{"hello bravo"});
  EXPECT_EQ(a.dataFrom(b), std::vector<std::string>{"hello alpha"});
}

// Lines so far that start with the prefix.
std::size_t countPrefix(Tool& tool, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& l : tool.process().lines()) n += l.rfind(prefix, 0) == 0;
  return n;
}

bool waitForCount(Tool& tool, const std::string& prefix, std::size_t n,
                  std::chrono::milliseconds timeout = 15s) {
  const auto deadline = Clock::now() + timeout;
  while (countPrefix(tool, prefix) < n) {
    if (Clock::now() > deadline) return false;
    tool.process().readLine(100ms);
  }
  return true;
}

TEST_F(PeersNetns, DevicesInvitingEachOtherAtOnceEndConnectedEveryTime) {
  Tool& a = start(0, "alpha");
  Tool& b = start(1, "bravo");
  for (Tool* t : {&a, &b}) {
    t->command("handler accept");
    t->command("advertise on");
    t->command("browse on");
  }
  ASSERT_TRUE(a.found(b));
  ASSERT_TRUE(b.found(a));
  for (std::size_t run = 1; run <= 20; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    a.command("invite " + b.id);
    b.command("invite " + a.id);
    ASSERT_TRUE(waitForCount(a, "state " + b.id + " 2", run));
    ASSERT_TRUE(waitForCount(b, "state " + a.id + " 2", run));
    // A link closed behind our back would show up before this echo.
    a.command("send ping " + std::to_string(run));
    ASSERT_TRUE(b.waitForData(a, run));
    EXPECT_EQ(countPrefix(a, "state " + b.id + " 0"), run - 1);
    EXPECT_EQ(countPrefix(b, "state " + a.id + " 0"), run - 1);
    EXPECT_TRUE(waitForCount(a, "result " + b.id + " inviter accepted", run));
    EXPECT_TRUE(waitForCount(b, "result " + a.id + " inviter accepted", run));
    a.command("disconnect");
    ASSERT_TRUE(waitForCount(a, "state " + b.id + " 0", run));
    ASSERT_TRUE(waitForCount(b, "state " + a.id + " 0", run));
  }
}

TEST_F(PeersNetns, DeclinedInvitationConnectsNobody) {
  Tool& a = start(0, "alpha");
  Tool& b = start(1, "bravo");
  connect(a, b, "ask");
  ASSERT_TRUE(b.sawPrefix("invitation " + a.id + " alpha"));
  b.command("answer no");
  ASSERT_TRUE(a.state(b, 0));
  a.command("peers");
  b.command("peers");
  EXPECT_TRUE(a.sawPrefix("peers 0"));
  EXPECT_TRUE(b.sawPrefix("peers 0"));
  EXPECT_FALSE(a.state(b, 2, 0ms));
  EXPECT_FALSE(b.state(a, 2, 0ms));
  // And a plain declining handler does the same to a second inviter.
  Tool& c = start(2, "charlie");
  b.command("handler decline");
  c.command("browse on");
  ASSERT_TRUE(c.found(b));
  c.command("invite " + b.id);
  ASSERT_TRUE(c.state(b, 0));
  EXPECT_FALSE(c.state(b, 2, 0ms));
}

TEST_F(PeersNetns, ThreeDevicesFormOneMeshAndEveryMessageReachesBothOthersInOrder) {
  Tool& a = start(0, "alpha");
  Tool& b = start(1, "bravo");
  Tool& c = start(2, "charlie");
  connect(a, b);
  ASSERT_TRUE(a.state(b, 2));
  connect(a, c);
  ASSERT_TRUE(a.state(c, 2));
  // b and c were introduced by a.
  ASSERT_TRUE(b.state(c, 2));
  ASSERT_TRUE(c.state(b, 2));
  constexpr int kCount = 40;
  for (int i = 0; i < kCount; ++i) {
    for (Tool* t : {&a, &b, &c}) t->command("send " + t->id.substr(0, 4) + "-" + std::to_string(i));
  }
  for (Tool* receiver : {&a, &b, &c}) {
    for (Tool* sender : {&a, &b, &c}) {
      if (receiver == sender) continue;
      ASSERT_TRUE(receiver->waitForData(*sender, kCount));
      std::vector<std::string> expected;
      for (int i = 0; i < kCount; ++i)
        expected.push_back(sender->id.substr(0, 4) + "-" + std::to_string(i));
      EXPECT_EQ(receiver->dataFrom(*sender), expected);
    }
  }
}

TEST_F(PeersNetns, KilledPeerIsReportedNotConnectedWithinFiveSeconds) {
  Tool& a = start(0, "alpha");
  Tool& b = start(1, "bravo");
  connect(a, b);
  ASSERT_TRUE(a.state(b, 2));
  const auto killed = Clock::now();
  b.kill();
  EXPECT_TRUE(a.state(b, 0, 5s));
  std::printf(
      "killed peer reported NotConnected after %lld ms\n",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count()));
}

TEST_F(PeersNetns, LinkSetDownIsDetectedOnBothSides) {
  Tool& a = start(0, "alpha");
  Tool& b = start(1, "bravo");
  connect(a, b);
  ASSERT_TRUE(a.state(b, 2));
  ASSERT_TRUE(b.state(a, 2));
  ASSERT_TRUE(lab->setLinkUp(1, false));
  EXPECT_TRUE(a.state(b, 0, 5s));
  EXPECT_TRUE(b.state(a, 0, 5s));
}

TEST_F(PeersNetns, RestartedPeerIsFoundAgainAndCanBeInvitedAgain) {
  Tool& a = start(0, "alpha");
  Tool* b = &start(1, "bravo");
  connect(a, *b);
  ASSERT_TRUE(a.state(*b, 2));
  b->kill();
  ASSERT_TRUE(a.state(*b, 0, 5s));
  Tool& again = start(1, "bravo");
  ASSERT_NE(again.id, b->id);
  again.command("handler accept");
  again.command("advertise on");
  // Records of the dead process may linger in caches for a moment; wait
  // until the new identity is seen at its new port.
  ASSERT_TRUE(a.sawPrefix(
      "found " + again.id + " " + lab->address(1) + " " + std::to_string(again.port) + " ", 20s))
      << "restarted peer not found";
  a.command("invite " + again.id);
  ASSERT_TRUE(a.state(again, 2));
  ASSERT_TRUE(again.state(a, 2));
}

// A standard DNS-SD browser (avahi-browse through an avahi-daemon with its
// own private D-Bus, both inside a namespace) sees what we publish.
TEST_F(PeersNetns, PublishedServiceIsVisibleToAvahiBrowse) {
  PrivateAvahi avahi(*lab, 1);
  ASSERT_TRUE(avahi.ok());
  const std::string& bus = avahi.bus;
  Tool& a = start(0, "visible");
  a.command("advertise on");
  const std::string expected =
      "=;" + std::string(NetnsLab::kInterface) + ";IPv4;visible;_qur-wtalkie._tcp;local;";
  bool seen = false;
  std::string last;
  for (int attempt = 0; attempt < 20 && !seen; ++attempt) {
    ChildProcess browse({"ip", "netns", "exec", lab->host(1), "env",
                         "DBUS_SYSTEM_BUS_ADDRESS=" + bus, "avahi-browse", "-rtp",
                         "_qur-wtalkie._tcp"});
    while (auto line = browse.readLine(3s)) {
      last = *line;
      if (line->rfind(expected, 0) == 0 &&
          line->find(";" + std::to_string(a.port) + ";") != std::string::npos &&
          line->find("\"id=" + a.id + "\"") != std::string::npos &&
          line->find("\"v=" + std::to_string(peers::kProtocolVersion) + "\"") != std::string::npos)
        seen = true;
    }
    if (!seen) std::this_thread::sleep_for(500ms);
  }
  EXPECT_TRUE(seen) << "last avahi-browse line: " << last;
  avahi.stop();
}

// Two processes on the host's own loopback, no namespaces.
TEST(PeersLoopback, TwoProcessesFindAndConnectToEachOther) {
  Tool a(std::make_unique<ChildProcess>(
      std::vector<std::string>{toolPath(), "--name", "loop-a", "--interfaces", "lo"}));
  Tool b(std::make_unique<ChildProcess>(
      std::vector<std::string>{toolPath(), "--name", "loop-b", "--interfaces", "lo"}));
  ASSERT_TRUE(a.ok() && b.ok());
  b.command("handler accept");
  b.command("advertise on");
  a.command("handler accept");
  a.command("advertise on");
  a.command("browse on");
  b.command("browse on");
  ASSERT_TRUE(a.found(b));
  ASSERT_TRUE(b.found(a));
  a.command("invite " + b.id);
  ASSERT_TRUE(a.state(b, 2));
  ASSERT_TRUE(b.state(a, 2));
  b.command("send over loopback");
  ASSERT_TRUE(a.waitForData(b, 1));
  EXPECT_EQ(a.dataFrom(b), std::vector<std::string>{"over loopback"});
}

}  // namespace
}  // namespace qur::testing
