// Devices that must stay findable and reachable: under a flood of pending
// connections from many addresses, after a link loss, when a liveness check
// is overtaken by a reconnection, when started together on a loaded machine,
// and beside another program on the same address. Peer processes in network
// namespaces of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "peers/peer_browser.h"
#include "tool_lab.h"

namespace qur::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Availability : public ToolLab {
 protected:
  Availability() : ToolLab("qura") {}
  static bool listed(ToolProcess& watcher, const ToolProcess& device,
                     std::chrono::milliseconds within = kWait) {
    return watcher.sawPrefix("found " + device.id + " ", within);
  }
  // How many times the watcher listed, or dropped, the device so far.
  static std::size_t count(ToolProcess& watcher, const std::string& what,
                           const ToolProcess& device) {
    return watcher.linesWithPrefix(what + " " + device.id).size();
  }
  static bool connects(ToolProcess& from, const ToolProcess& to) {
    from.command("invite " + to.id);
    return from.sawPrefix("state " + to.id + " 2");
  }
  static long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
  }
};

// 32 addresses holding 8 idle connections each once asked the listener for
// four times its 64 pending places; the colleague's invitation ended
// unreachable and its liveness check hid the device for good.
TEST_F(Availability, ManyAddressFloodNeitherHidesTheDeviceNorKeepsAColleagueOut) {
  ToolProcess& device = startDevice(0, "device");
  ToolProcess& colleague = startDevice(1, "colleague");
  ToolProcess& attacker = start(2, "attacker");
  ASSERT_TRUE(listed(colleague, device));
  const auto sources = lab->addAddresses(2, 32);
  ASSERT_EQ(sources.size(), 32u);
  std::string hold = "hold " + lab->address(0) + " " + std::to_string(device.port) + " 8";
  for (const auto& from : sources) hold += " " + from;
  attacker.command(hold);
  std::this_thread::sleep_for(2s);

  const auto invited = Clock::now();
  ASSERT_TRUE(connects(colleague, device)) << "the flood kept the colleague out";
  std::printf("invitation through a 32-address flood connected in %lld ms\n", msSince(invited));
  // A lost connection makes the browser check the device: through the flood.
  colleague.command("disconnect");
  ASSERT_TRUE(colleague.sawPrefix("state " + device.id + " 0"));
  colleague.drain(std::chrono::milliseconds(PeerBrowser::kRecheckTimeoutMs + 1500));
  EXPECT_EQ(count(colleague, "lost", device), 0u) << "the flood hid the device";
  attacker.command("release");
  const auto held = attacker.waitFor([](const std::string& l) { return l.rfind("held ", 0) == 0; });
  ASSERT_TRUE(held);
  std::printf("flood: %s connections opened in all\n", held->substr(5).c_str());
  EXPECT_GT(std::stoi(held->substr(5)), 64) << "the flood never filled the listener";
  // The strangers got no session: the device only ever saw its colleague.
  for (const auto& line : device.linesWithPrefix("state "))
    EXPECT_EQ(line.substr(6, colleague.id.size()), colleague.id) << line;
}

// A Wi-Fi blip: the link is gone for 8 s, long enough for the colleague to
// drop the device; its records, announced again unchanged, told the
// browser nothing new, and it stayed off the list.
TEST_F(Availability, DeviceBackFromAnEightSecondLinkLossIsListedAgainAndReachable) {
  ToolProcess& device = startDevice(0, "device");
  ToolProcess& colleague = startDevice(1, "colleague");
  ASSERT_TRUE(listed(colleague, device));
  ASSERT_TRUE(connects(colleague, device));
  const auto cut = Clock::now();
  ASSERT_TRUE(lab->setLinkUp(0, false));
  ASSERT_TRUE(colleague.sawPrefix("state " + device.id + " 0", 8s));
  ASSERT_TRUE(colleague.sawPrefix("lost " + device.id, 8s)) << "never dropped";
  std::printf("dropped %lld ms after the link went down\n", msSince(cut));
  std::this_thread::sleep_for(8s - (Clock::now() - cut));
  ASSERT_TRUE(lab->setLinkUp(0, true));
  const auto back = Clock::now();
  const auto foundBefore = count(colleague, "found", device);
  ASSERT_TRUE(colleague.waitFor(
      [&](const std::string&) { return count(colleague, "found", device) > foundBefore; }, 20s))
      << "not listed again after the link came back";
  std::printf("listed again %lld ms after the link came back\n", msSince(back));
  EXPECT_TRUE(connects(colleague, device));
}

// The colleague checks the device after their connection ended; the check
// gets no answer, but the device reconnects meanwhile. The check's failure
// must not hide a device that is connected.
TEST_F(Availability, CheckOvertakenByAReconnectionHidesNothing) {
  ToolProcess& device = startDevice(0, "device");
  ToolProcess& colleague = startDevice(1, "colleague");
  ASSERT_TRUE(listed(colleague, device));
  ASSERT_TRUE(connects(colleague, device));
  // New connections to the device go unanswered: the check will fail.
  ASSERT_TRUE(lab->runIn(
      0, "iptables -A INPUT -p tcp --syn --dport " + std::to_string(device.port) + " -j DROP"));
  colleague.command("disconnect");
  ASSERT_TRUE(colleague.sawPrefix("state " + device.id + " 0"));
  device.command("invite-at " + lab->address(1) + " " + std::to_string(colleague.port));
  const auto reconnected = colleague.waitFor(
      [&](const std::string& l) {
        return colleague.linesWithPrefix("state " + device.id + " 2").size() >= 2 && l.size() > 0;
      },
      5s);
  ASSERT_TRUE(reconnected) << "the device did not reconnect";
  colleague.drain(std::chrono::milliseconds(PeerBrowser::kRecheckTimeoutMs + 1500));
  EXPECT_EQ(count(colleague, "lost", device), 0u) << "a stale check hid a connected device";
}

// Two devices started together beside a mixed load (CPU, I/O, disk) list
// each other and connect, every time.
TEST_F(Availability, FreshStartsUnderLoadFindEachOther) {
  auto load = std::make_unique<ChildProcess>(std::vector<std::string>{
      "stress-ng", "--cpu", "3", "--io", "2", "--hdd", "1", "--timeout", "120s", "--quiet"});
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(load->isRunning()) << "stress-ng did not start";
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const auto started = Clock::now();
    ToolProcess& a = startDevice(0, "fresh-a" + std::to_string(run));
    ToolProcess& b = startDevice(1, "fresh-b" + std::to_string(run));
    ASSERT_TRUE(listed(a, b, 15s));
    ASSERT_TRUE(listed(b, a, 15s));
    std::printf("fresh start %d under load: both listed after %lld ms\n", run, msSince(started));
    EXPECT_TRUE(connects(a, b));
    tools.clear();
  }
  load->kill(SIGTERM);
  load->waitForExit(10s);
}

// A second program (its own key) on the same address as a first: both are
// listed by a device elsewhere and by each other, and both can be invited.
TEST_F(Availability, TwoProgramsOnOneAddressAreBothSeenAndReachable) {
  ToolProcess& first = startDevice(0, "first");
  ToolProcess& second = startDevice(0, "second");
  ToolProcess& other = startDevice(1, "other");
  EXPECT_TRUE(listed(other, first));
  EXPECT_TRUE(listed(other, second));
  EXPECT_TRUE(listed(first, second));
  EXPECT_TRUE(listed(second, first));
  EXPECT_TRUE(connects(other, first));
  EXPECT_TRUE(connects(other, second));
}

}  // namespace
}  // namespace qur::testing
