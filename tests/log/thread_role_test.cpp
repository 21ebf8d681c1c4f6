// The debug-build thread checks: a declared thread calling code meant for
// another one stops the program with a line naming both; undeclared threads
// and release builds pass.
#include "log/thread_role.h"

#include <gtest/gtest.h>

#include <thread>

namespace qur {
namespace {

void mainThreadOnly() {
  QUR_ASSERT_THREAD(ThreadRole::Main);
}

void anywhereButTheAudioThread() {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
}

// Runs the body on a fresh thread that declared `role`.
template <class F>
void onThread(ThreadRole role, F body) {
  std::thread thread([&] {
    ThreadRoleScope scope(role);
    body();
  });
  thread.join();
}

class ThreadRoleTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ThreadRoleTest, DeclaredThreadsPassTheirOwnChecksAndUndeclaredOnesAll) {
  mainThreadOnly();
  anywhereButTheAudioThread();
  onThread(ThreadRole::Main, [] {
    mainThreadOnly();
    anywhereButTheAudioThread();
  });
  onThread(ThreadRole::Network, [] { anywhereButTheAudioThread(); });
  EXPECT_EQ(currentThreadRole(), ThreadRole::Unknown) << "declarations are per thread";
}

TEST_F(ThreadRoleTest, ScopesNestAndRestore) {
  {
    ThreadRoleScope outer(ThreadRole::Main);
    {
      ThreadRoleScope inner(ThreadRole::Audio);
      EXPECT_EQ(currentThreadRole(), ThreadRole::Audio);
    }
    EXPECT_EQ(currentThreadRole(), ThreadRole::Main);
  }
  EXPECT_EQ(currentThreadRole(), ThreadRole::Unknown);
}

#ifndef NDEBUG
TEST_F(ThreadRoleTest, MixUpsStopTheProgramNamingBothThreads) {
  EXPECT_DEATH(onThread(ThreadRole::Audio, [] { mainThreadOnly(); }),
               "mainThreadOnly must be called on the main thread, not on the audio thread");
  EXPECT_DEATH(onThread(ThreadRole::Network, [] { mainThreadOnly(); }),
               "on the main thread, not on the network thread");
  EXPECT_DEATH(onThread(ThreadRole::Audio, [] { anywhereButTheAudioThread(); }),
               "anywhereButTheAudioThread must be called off the audio thread");
}
#else
TEST_F(ThreadRoleTest, ReleaseBuildsCompileTheChecksAway) {
  // The same mix-ups as in debug builds run through without a word.
  bool ran = false;
  onThread(ThreadRole::Audio, [&] {
    mainThreadOnly();
    anywhereButTheAudioThread();
    ran = true;
  });
  EXPECT_TRUE(ran);
}
#endif

}  // namespace
}  // namespace qur
