// Peer tool processes on the hosts of a network lab of the test's own: the
// fixture of the multi-process discovery and availability tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/netns.h"
#include "tool_process.h"

namespace qur::testing {

class ToolLab : public ::testing::Test {
 protected:
  // prefix: of the namespaces' names, so stale ones of a test can be found.
  explicit ToolLab(std::string prefix) : _prefix(std::move(prefix)) {}

  void SetUp() override {
    lab = std::make_unique<NetnsLab>(3, _prefix);
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
  // Starts a device as the application runs it: advertising, browsing and
  // accepting every invitation.
  ToolProcess& startDevice(int host, const std::string& name) {
    ToolProcess& tool = start(host, name);
    tool.command("handler accept");
    tool.command("advertise on");
    tool.command("browse on");
    return tool;
  }

  std::unique_ptr<NetnsLab> lab;
  std::vector<std::unique_ptr<ToolProcess>> tools;

 private:
  std::string _prefix;
};

}  // namespace qur::testing
