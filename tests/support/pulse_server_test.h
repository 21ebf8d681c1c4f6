// A suite whose tests share one private PulseAudio server, started before the
// first test and stopped after the last; a test fails when it did not start.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/pulse_server.h"

namespace qur::testing {

class PulseServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new PulseServer();
    std::string error;
    started = server->start(&error);
    if (!started) startError = error;
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(started) << startError; }

  static inline PulseServer* server = nullptr;
  static inline bool started = false;
  static inline std::string startError;
};

}  // namespace qur::testing
