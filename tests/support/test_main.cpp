// Shared main for every test executable: the test thread is the main thread
// and runs a MainLoop that tests spin with runUntil().
#include <gtest/gtest.h>

#include <cstdlib>

#include "log/log.h"
#include "signals/main_queue.h"
#include "support/test_main.h"

namespace qur::testing {
namespace {
std::shared_ptr<MainLoop> gLoop;
}
MainLoop& mainLoop() {
  return *gLoop;
}
}  // namespace qur::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  qur::testing::gLoop = std::make_shared<qur::MainLoop>();
  qur::setMainQueue(qur::testing::gLoop);
  // Errors go to the console so a failing test shows why; QUR_TEST_LOG=all shows everything.
  const char* level = std::getenv("QUR_TEST_LOG");
  qur::setLogLevel(level && std::string(level) == "all" ? qur::LogLevelAll : qur::LogLevelError);
  qur::addLogger(std::make_shared<qur::ConsoleLogger>());
  const int result = RUN_ALL_TESTS();
  qur::removeAllLoggers();
  return result;
}
