// The child-process helper the multi-process tests and benchmarks drive
// real programs with, against small shell scripts.
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/json_field.h"

namespace qur::testing {
namespace {

using namespace std::chrono_literals;

ChildProcess shell(const std::string& script) {
  return ChildProcess({"sh", "-c", script});
}

TEST(ChildProcess, EndingWaitKeepsReadingSoAChattyChildCanFinish) {
  // After its input closes the child writes far more than a pipe holds; the
  // wait must drain it or the child blocks until it is killed.
  auto child = shell("cat >/dev/null; head -c 300000 /dev/zero | tr '\\000' a; echo; echo done");
  child.writeLine("ignored");
  EXPECT_EQ(child.closeAndWait(60s), 0);
  EXPECT_FALSE(child.isRunning());
  // What was drained meanwhile is still read in order, then the end.
  const auto big = child.readLine(5s);
  ASSERT_TRUE(big);
  EXPECT_EQ(*big, std::string(300000, 'a'));
  EXPECT_EQ(child.readLine(5s), "done");
  EXPECT_EQ(child.readLine(1s), std::nullopt);
  EXPECT_EQ(child.lines().size(), 2u);
}

TEST(ChildProcess, QuitSendsQuitAndGivesTheExitStatus) {
  auto child = shell("read command; echo \"got $command\"; [ \"$command\" = quit ] && exit 3");
  EXPECT_EQ(child.quit(30s), 3);
  EXPECT_EQ(child.waitForPrefix("got ", 5s), "got quit");
}

TEST(ChildProcess, ChildThatOutlivesTheWaitIsKilled) {
  // Ignores the end of its input; only the kill at the timeout ends it.
  auto child = shell("trap '' TERM; echo started; while :; do sleep 1; done");
  ASSERT_EQ(child.waitForPrefix("started", 30s), "started");
  EXPECT_EQ(child.closeAndWait(200ms), -1);
  EXPECT_FALSE(child.isRunning());
  child.writeLine("after the end");  // refused quietly, no SIGPIPE
}

TEST(ChildProcess, MissingProgramEndsWithoutOutput) {
  ChildProcess child({"/nonexistent/qur-program"});
  EXPECT_EQ(child.readLine(5s), std::nullopt);
  EXPECT_EQ(child.closeAndWait(30s), 127);
}

TEST(JsonField, ReadsStringsNumbersAndTheLastMember) {
  const std::string line = R"({"event":"peer_talking","peer":"bravo","value":true,"time_ms":42})";
  EXPECT_EQ(jsonField(line, "event"), "peer_talking");
  EXPECT_EQ(jsonField(line, "value"), "true");
  EXPECT_EQ(jsonField(line, "time_ms"), "42");
  EXPECT_EQ(jsonField(line, "missing"), std::nullopt);
  // A name that only appears inside a value is not a member.
  EXPECT_EQ(jsonField(R"({"message":"no \"peer\" here"})", "peer"), std::nullopt);
  EXPECT_EQ(jsonField(R"({"peer":""})", "peer"), "");
}

}  // namespace
}  // namespace qur::testing
