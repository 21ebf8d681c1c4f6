#include <gtest/gtest.h>
#include <syslog.h>

#include <regex>
#include <thread>
#include <vector>

#include "log/log.h"
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

TEST(LogTest, FourCharCodePrintsPrintableCharacters) {
  EXPECT_EQ(fourCharCode(0x77686174), "what");
  EXPECT_EQ(fourCharCode(-50), "....");
}

}  // namespace
}  // namespace qur
