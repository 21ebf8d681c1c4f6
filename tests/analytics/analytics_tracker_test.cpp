#include "analytics/analytics_tracker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qur {
namespace {

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class AnalyticsTrackerTest : public ::testing::Test {
 protected:
  std::string path = ::testing::TempDir() + "analytics-" + std::to_string(getpid()) + ".jsonl";
  void SetUp() override { std::remove(path.c_str()); }
  void TearDown() override { std::remove(path.c_str()); }
};

TEST_F(AnalyticsTrackerTest, RecordsScreenViewsEventsAndTimingsAsJsonLines) {
  {
    AnalyticsTracker tracker(path);
    ASSERT_TRUE(tracker.isRecording());
    tracker.setScreenName("Home Screen");
    tracker.trackScreenView();
    tracker.trackEvent("walkie_talkie", "connection", "connected");
    tracker.trackEvent("walkie_talkie", "talk", "say \"hi\"\n", 3);
    tracker.trackTiming("audio", 125, "start", "engine");
  }
  const auto lines = readLines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find(R"("type":"screenview","screen":"Home Screen")"), std::string::npos);
  EXPECT_NE(
      lines[1].find(R"("category":"walkie_talkie","action":"connection","label":"connected")"),
      std::string::npos);
  EXPECT_EQ(lines[1].find("value"), std::string::npos);
  EXPECT_NE(lines[2].find(R"("label":"say \"hi\"\n","value":3)"), std::string::npos);
  EXPECT_NE(lines[3].find(R"("interval_ms":125)"), std::string::npos);
  for (auto& l : lines) {
    EXPECT_EQ(l.front(), '{');
    EXPECT_EQ(l.back(), '}');
    EXPECT_EQ(l.find("{\"time_ms\":"), 0u);
  }
}

TEST_F(AnalyticsTrackerTest, WithoutAFileNothingIsRecorded) {
  AnalyticsTracker tracker("");
  EXPECT_FALSE(tracker.isRecording());
  tracker.trackEvent("a", "b", "c");
  EXPECT_TRUE(readLines(path).empty());
}

TEST(AnalyticsJsonTest, ControlCharactersAreEscaped) {
  EXPECT_EQ(AnalyticsTracker::jsonEscape(std::string("a\x01"
                                                     "b\\",
                                                     4)),
            "a\\u0001b\\\\");
}

TEST(AnalyticsDeathTest, UncaughtExceptionIsLoggedBeforeTheProcessEnds) {
  EXPECT_DEATH(
      {
        AnalyticsTracker::sharedInstance();
        // An exception escaping a thread's function is what reaches terminate.
        std::thread([] { throw std::runtime_error("boom in the audio setup"); }).join();
      },
      "Uncaught exception: boom in the audio setup");
  EXPECT_DEATH(
      {
        AnalyticsTracker::sharedInstance();
        std::terminate();
      },
      "std::terminate called without an active exception");
}

}  // namespace
}  // namespace qur
