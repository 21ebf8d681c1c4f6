// The log set-up every test main shares, around RUN_ALL_TESTS().
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "log/log.h"

namespace qur::testing {

// Errors go to the console so a failing test shows why; QUR_TEST_LOG=all shows everything.
inline int runAllTestsWithConsoleLog() {
  const char* level = std::getenv("QUR_TEST_LOG");
  setLogLevel(level && std::string(level) == "all" ? LogLevelAll : LogLevelError);
  addLogger(std::make_shared<ConsoleLogger>());
  const int result = RUN_ALL_TESTS();
  removeAllLoggers();
  return result;
}

}  // namespace qur::testing
