#include <gtest/gtest.h>
#include <syslog.h>

#include <regex>
#include <thread>
#include <vector>

#include "log/log.h"
#include "log/log_limiter.h"
#include "support/log_capture.h"

namespace qur {
namespace {

TEST(ConsoleLoggerTest, LineHasDateProcessIdsAndMessage) {
  LogMessage m;
  m.message = "Engine: something failed";
  m.timestampMs = 1700000000123;
  m.threadID = 0xabc;
  const std::string line = ConsoleLogger::formatLine(m);
  const std::regex shape(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:123 \S+\[\d+:abc\] )"
                         R"(Engine: something failed\n$)");
  EXPECT_TRUE(std::regex_match(line, shape)) << line;
}

TEST(SystemLoggerTest, SeverityIsOneStepMoreSevereThanTheFlag) {
  EXPECT_EQ(SystemLogger::severityForFlag(LogFlagError), LOG_CRIT);
  EXPECT_EQ(SystemLogger::severityForFlag(LogFlagWarning), LOG_ERR);
  EXPECT_EQ(SystemLogger::severityForFlag(LogFlagInfo), LOG_WARNING);
  EXPECT_EQ(SystemLogger::severityForFlag(LogFlagDebug), LOG_NOTICE);
}

TEST(LogTest, EntryDeliversSynchronouslyWithCallSite) {
  testing::LogCapture capture;
  log(false, LogLevelError, LogFlagError, 3, "file.cpp", "fn", 42, "tag", "value %d %s", 7, "x");
  auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].message, "value 7 x");
  EXPECT_EQ(messages[0].file, "file.cpp");
  EXPECT_EQ(messages[0].function, "fn");
  EXPECT_EQ(messages[0].line, 42);
  EXPECT_EQ(messages[0].context, 3);
  EXPECT_EQ(messages[0].tag, "tag");
}

TEST(LogTest, LongMessagesAreNotTruncated) {
  testing::LogCapture capture;
  const std::string big(5000, 'z');
  log(false, LogLevelError, LogFlagError, 0, "f", "g", 1, nullptr, "%s!", big.c_str());
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0].message, big + "!");
}

TEST(LogTest, MacrosHonourTheGlobalLevel) {
  const int previous = logLevel();
  testing::LogCapture capture(0);
  setLogLevel(LogLevelError);
  QUR_LOG_ERROR("shown %d", 1);
  QUR_LOG_WARN("hidden");
  QUR_LOG_INFO("hidden");
  setLogLevel(LogLevelInfo);
  QUR_LOG_INFO("info shown");
  setLogLevel(previous);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"shown 1", "info shown"}));
}

TEST(LogConcurrency, MessagesFromManyThreadsArriveWhole) {
  testing::LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        log(false, LogLevelError, LogFlagError, 0, "f", "g", 1, nullptr, "t%d-%d", t, i);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(capture.messages().size(), 800u);
  EXPECT_EQ(capture.count("t3-199"), 1);
}

// What one kind of line an outsider can trigger looks like in the log over
// time: the first line, silence within the window, then a line with the count.
TEST(LogLimiterTest, FloodsBecomeOneLineAWindowWithTheCountInTheNext) {
  using Clock = LogLimiter::Clock;
  const Clock::time_point t0{};
  struct Step {
    int atMs;
    const char* kind;
    std::optional<std::size_t> admitted;  // nullopt: kept quiet
  };
  const std::vector<Step> steps = {
      {0, "timeout", 0},    {10, "timeout", std::nullopt},    {20, "timeout", std::nullopt},
      {30, "no key", 0},    {9999, "timeout", std::nullopt},  {10000, "timeout", 3},
      {10030, "no key", 0}, {15000, "timeout", std::nullopt}, {25000, "timeout", 1},
  };
  KeyedLogLimiter limiter(std::chrono::milliseconds(10000));
  for (const auto& step : steps) {
    SCOPED_TRACE(std::string(step.kind) + " at " + std::to_string(step.atMs) + " ms");
    EXPECT_EQ(limiter.admit(step.kind, t0 + std::chrono::milliseconds(step.atMs)), step.admitted);
  }
}

TEST(LogLimiterTest, KindsMadeFromOutsideInputCannotGrowItAndShareOneCount) {
  KeyedLogLimiter limiter;
  int admitted = 0;
  for (std::size_t i = 0; i < KeyedLogLimiter::kMaxKinds + 100; ++i)
    admitted += limiter.admit("kind " + std::to_string(i)).has_value() ? 1 : 0;
  EXPECT_EQ(admitted, static_cast<int>(KeyedLogLimiter::kMaxKinds) + 1);
}

TEST(LogLimiterTest, TheLineAfterQuietOnesCarriesTheirCount) {
  testing::LogCapture capture;
  LogLimiter limiter(std::chrono::milliseconds(0));
  QUR_LOG_LIMITED(limiter, LogFlagWarning, "refused %d", 1);
  LogLimiter slow;
  for (int i = 0; i < 4; ++i) QUR_LOG_LIMITED(slow, LogFlagWarning, "refused %d", 2);
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"refused 1", "refused 2"}));
  EXPECT_EQ(slow.suppressed(), 3u);
  EXPECT_EQ(capture.messages()[1].flag, LogFlagWarning);
}

TEST(LogTest, FourCharCodePrintsPrintableCharacters) {
  EXPECT_EQ(fourCharCode(0x77686174), "what");
  EXPECT_EQ(fourCharCode(-50), "....");
}

}  // namespace
}  // namespace qur
