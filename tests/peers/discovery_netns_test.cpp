// Discovery between peer processes on their own network namespaces: devices
// that share a name, a browser that outlives session changes, devices that
// vanish or leave, and what addresses are published.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "support/netns.h"
#include "tool_process.h"

namespace qur::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class DiscoveryNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    lab = std::make_unique<NetnsLab>(3, "qurd");
    ASSERT_TRUE(lab->ok()) << "cannot create network namespaces (root and iproute2 needed)";
  }
  void TearDown() override {
    tools.clear();
    lab.reset();
  }
  ToolProcess& start(int host, const std::string& name) {
    tools.push_back(std::make_unique<ToolProcess>(
        lab->spawn(host, {peerToolPath(), "--name", name, "--interfaces", NetnsLab::kInterface})));
    EXPECT_TRUE(tools.back()->ok()) << name << " did not start";
    return *tools.back();
  }
  // Starts a device as the application runs it: advertising and browsing.
  ToolProcess& startDevice(int host, const std::string& name) {
    ToolProcess& tool = start(host, name);
    tool.command("handler accept");
    tool.command("advertise on");
    tool.command("browse on");
    return tool;
  }
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

  std::unique_ptr<NetnsLab> lab;
  std::vector<std::unique_ptr<ToolProcess>> tools;
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

}  // namespace
}  // namespace qur::testing
