// Discovery between peer processes on their own network namespaces: devices
// that share a name, a browser that outlives session changes, devices that
// vanish or leave, and what addresses are published.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "peers/peer_browser.h"
#include "private_avahi.h"
#include "tool_lab.h"

namespace qur::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class DiscoveryNetns : public ToolLab {
 protected:
  DiscoveryNetns() : ToolLab("qurd") {}
  std::string where(int host, const ToolProcess& tool, const std::string& name) const {
    return lab->address(host) + " " + std::to_string(tool.port) + " " + name;
  }
  std::string publishedName(ToolProcess& tool) {
    const auto before = tool.linesWithPrefix("name ").size();
    tool.command("name");
    tool.waitFor([&](const std::string&) { return tool.linesWithPrefix("name ").size() > before; },
                 5s);
    const auto names = tool.linesWithPrefix("name ");
    return names.size() > before ? names.back().substr(5) : std::string();
  }
};

// A newcomer that takes an advertised name yields it: the established device
// keeps "twin", the newcomer is "twin #2" in its advertisement and its hello,
// and a third device lists and reaches both at their own addresses.
class TwinNames : public DiscoveryNetns,
                  public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(TwinNames, EstablishedDeviceKeepsItsNameAndTheNewcomerIsRenamedEverywhere) {
  const auto [firstHost, delayMs] = GetParam();
  const int secondHost = 1 - firstHost;
  ToolProcess& watcher = start(2, "watcher");
  watcher.command("browse on");
  ToolProcess& first = startDevice(firstHost, "twin");
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  ToolProcess& second = startDevice(secondHost, "twin");
  ASSERT_TRUE(watcher.sawPrefix("found " + first.id + " ")) << "first device not found";
  ASSERT_TRUE(watcher.sawPrefix("found " + second.id + " ")) << "second device not found";
  // Renaming after a late conflict takes a few seconds; give it the time.
  watcher.drain(5s);

  const std::string firstName = publishedName(first);
  const std::string secondName = publishedName(second);
  const bool addressesRight = watcher.lastFound(first) == where(firstHost, first, "twin") &&
                              watcher.lastFound(second) == where(secondHost, second, "twin #2");
  std::printf(
      "twin names, second started %d ms after the first was ready: first \"%s\", "
      "second \"%s\" (hello \"%s\"), listed %s\n",
      delayMs, firstName.c_str(), secondName.c_str(), second.name.c_str(),
      addressesRight ? "right" : "wrong");
  EXPECT_EQ(firstName, "twin");
  EXPECT_EQ(secondName, "twin #2");
  EXPECT_EQ(first.name, "twin");
  EXPECT_EQ(second.name, "twin #2") << "the hello must carry the advertised name";
  EXPECT_EQ(watcher.lastFound(first), where(firstHost, first, "twin"));
  EXPECT_EQ(watcher.lastFound(second), where(secondHost, second, "twin #2"));

  watcher.command("invite " + first.id);
  watcher.command("invite " + second.id);
  EXPECT_TRUE(watcher.sawPrefix("state " + first.id + " 2 twin"));
  EXPECT_TRUE(watcher.sawPrefix("state " + second.id + " 2 twin #2"));
}

INSTANTIATE_TEST_SUITE_P(BothOrdersSeveralDelays, TwinNames,
                         ::testing::Combine(::testing::Values(0, 1),
                                            ::testing::Values(0, 1000, 2000, 3000, 4000)),
                         [](const auto& info) {
                           return "first" + std::to_string(std::get<0>(info.param)) + "_after" +
                                  std::to_string(std::get<1>(info.param)) + "ms";
                         });

// ---- peers that vanish or leave ----------------------------------------------

class VanishedPeers : public DiscoveryNetns {
 protected:
  // The watcher (host 0) lists the device (host 1), optionally connected.
  void list(bool connect) {
    watcher = &start(0, "watcher");
    device = &startDevice(1, "device");
    watcher->command("browse on");
    ASSERT_TRUE(watcher->sawPrefix("found " + device->id + " ")) << "device not found";
    if (!connect) return;
    watcher->command("invite " + device->id);
    ASSERT_TRUE(watcher->sawPrefix("state " + device->id + " 2"));
  }
  // Waits for the watcher to drop the device; the time it took, or -1.
  long long dropped(Clock::time_point since, std::chrono::milliseconds within) {
    if (!watcher->sawPrefix("lost " + device->id, within)) return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
  }
  bool notConnected(std::chrono::milliseconds within) {
    return watcher->sawPrefix("state " + device->id + " 0", within);
  }

  ToolProcess* watcher = nullptr;
  ToolProcess* device = nullptr;
};

TEST_F(VanishedPeers, KilledConnectedPeerLeavesTheListWithinTenSecondsOfItsLoss) {
  list(true);
  device->process().kill(SIGKILL);
  ASSERT_TRUE(notConnected(6s));
  const auto ms = dropped(Clock::now(), 10s);
  std::printf("killed connected peer dropped %lld ms after its loss was reported\n", ms);
  EXPECT_GE(ms, 0) << "still listed 10 s after the connection was lost";
}

TEST_F(VanishedPeers, PeerWhoseLinkWentDownLeavesTheListWithinTenSecondsOfItsLoss) {
  list(true);
  ASSERT_TRUE(lab->setLinkUp(1, false));
  ASSERT_TRUE(notConnected(6s));
  const auto ms = dropped(Clock::now(), 10s);
  std::printf("unreachable peer dropped %lld ms after its loss was reported\n", ms);
  EXPECT_GE(ms, 0) << "still listed 10 s after the connection was lost";
}

TEST_F(VanishedPeers, ListedPeerThatRefusesTheInvitationConnectionLeavesTheList) {
  list(false);
  device->process().kill(SIGKILL);
  device->process().waitForExit(2s);
  const auto invited = Clock::now();
  watcher->command("invite " + device->id);
  ASSERT_TRUE(notConnected(6s));
  const auto ms = dropped(invited, 10s);
  std::printf("dead listed peer dropped %lld ms after inviting it\n", ms);
  EXPECT_GE(ms, 0) << "still listed 10 s after inviting it failed";
  // A peer that answers is re-checked and stays.
  ToolProcess& other = start(2, "other");
  other.command("handler decline");
  other.command("advertise on");
  ASSERT_TRUE(watcher->sawPrefix("found " + other.id + " "));
  watcher->command("invite " + other.id);
  ASSERT_TRUE(watcher->sawPrefix("state " + other.id + " 0"));
  watcher->drain(std::chrono::milliseconds(PeerBrowser::kRecheckTimeoutMs + 1000));
  EXPECT_FALSE(watcher->sawPrefix("lost " + other.id, 0ms)) << "a peer that answers was dropped";
}

// Without a goodbye the records would stay until they expire (two minutes).
class LeavingPeers : public VanishedPeers, public ::testing::WithParamInterface<const char*> {};

TEST_P(LeavingPeers, PeerThatEndsCleanlySaysGoodbyeAndIsDroppedAtOnce) {
  list(false);
  const auto quit = Clock::now();
  device->command(GetParam());
  const auto ms = dropped(quit, 5s);
  std::printf("peer that ended by \"%s\" dropped after %lld ms\n", GetParam(), ms);
  EXPECT_GE(ms, 0) << "no goodbye";
  EXPECT_EQ(device->process().closeAndWait(5s), 0);
}

// "quit" tears everything down, "exit" ends the process as a signal handler
// would, with the advertisement still up.
INSTANTIATE_TEST_SUITE_P(TornDownOrNot, LeavingPeers, ::testing::Values("quit", "exit"));

// ---- what is published ------------------------------------------------------

// A standard resolver (avahi-daemon with its own private bus, in host 1) asks
// for our device's addresses: IPv4 only, since sessions listen on IPv4 only.
TEST_F(DiscoveryNetns, OnlyTheIPv4AddressIsPublished) {
  PrivateAvahi avahi(*lab, 1);
  ASSERT_TRUE(avahi.ok());
  const std::string& bus = avahi.bus;
  ToolProcess& device = startDevice(0, "addressed");
  auto client = [&](std::vector<std::string> argv) {
    std::vector<std::string> full = {"ip",         "netns", "exec",
                                     lab->host(1), "env",   "DBUS_SYSTEM_BUS_ADDRESS=" + bus};
    full.insert(full.end(), argv.begin(), argv.end());
    return std::make_unique<ChildProcess>(full);
  };
  // Its host name, from the resolved service (parsable: =;if;proto;name;type;domain;host;...).
  std::string host;
  for (int attempt = 0; attempt < 20 && host.empty(); ++attempt) {
    auto browse = client({"avahi-browse", "-rtp", "_qur-wtalkie._tcp"});
    while (auto line = browse->readLine(3s)) {
      if (line->rfind("=;", 0) != 0 || line->find(";addressed;") == std::string::npos) continue;
      std::vector<std::string> fields;
      std::stringstream in(*line);
      for (std::string f; std::getline(in, f, ';');) fields.push_back(f);
      if (fields.size() > 7) host = fields[6];
    }
    if (host.empty()) std::this_thread::sleep_for(500ms);
  }
  ASSERT_FALSE(host.empty()) << "service not resolved";
  auto resolved = [&](const std::string& family) {
    auto resolve = client({"avahi-resolve", family, "-n", host});
    std::string out;
    while (auto line = resolve->readLine(6s)) out += *line;
    return out;
  };
  EXPECT_NE(resolved("-4").find(lab->address(0)), std::string::npos) << "IPv4 must stay";
  const std::string v6 = resolved("-6");
  std::printf("IPv6 lookup of %s: \"%s\"\n", host.c_str(), v6.c_str());
  EXPECT_EQ(v6.find(':'), std::string::npos) << "an IPv6 address is published: " << v6;
  EXPECT_EQ(device.process().quit(5s), 0);
  avahi.stop();
}

}  // namespace
}  // namespace qur::testing
