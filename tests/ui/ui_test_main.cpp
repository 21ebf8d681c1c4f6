// Main of the widget tests: a QApplication (offscreen unless a display is
// asked for) whose event loop is the process's main queue.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "support/test_log.h"
#include "ui/qt_main_queue.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Peer discovery in these tests stays on loopback.
  setenv("QUR_PEERS_INTERFACES", "lo", 0);
  QApplication application(argc, argv);
  auto queue = qur::QtMainQueue::install();
  return qur::testing::runAllTestsWithConsoleLog();
}
