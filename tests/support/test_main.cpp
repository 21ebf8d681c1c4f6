// Shared main for every test executable: the test thread is the main thread
// and runs a MainLoop that tests spin with runUntil().
#include <gtest/gtest.h>

#include "signals/main_queue.h"
#include "support/test_log.h"
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
  return qur::testing::runAllTestsWithConsoleLog();
}
