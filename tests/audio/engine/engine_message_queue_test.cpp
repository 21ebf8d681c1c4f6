#include "audio/engine/engine_message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "support/log_capture.h"

namespace qur {
namespace {

using namespace std::chrono_literals;

// An audio thread of its own: cycles back to back through the gate until told to stop.
class CyclingThread {
 public:
  explicit CyclingThread(EngineMessageQueue& queue, std::function<void()> inside = {})
      : _thread([this, &queue, inside = std::move(inside)] {
          while (!_stop.load()) {
            if (!queue.enterCycle()) continue;
            if (inside) inside();
            cycles.fetch_add(1);
            queue.leaveCycle();
          }
        }) {}
  ~CyclingThread() {
    _stop = true;
    _thread.join();
  }
  std::atomic<uint64_t> cycles{0};

 private:
  std::atomic<bool> _stop{false};
  std::thread _thread;
};

EngineMessageQueue::CycleSource cyclesFrom(const CyclingThread& thread) {
  EngineMessageQueue::CycleSource source;
  source.cyclesExpected = [] { return true; };
  source.cycleCount = [&thread] { return thread.cycles.load(); };
  return source;
}

TEST(EngineMessageQueueConcurrency, TwoThreadsNeverShareACycle) {
  EngineMessageQueue queue(nullptr);
  queue.openCycles();
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  auto body = [&] {
    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
    std::this_thread::yield();
    inside.fetch_sub(1);
  };
  {
    CyclingThread first(queue, body);
    CyclingThread second(queue, body);
    while (first.cycles.load() < 2000 || second.cycles.load() < 2000) std::this_thread::yield();
  }
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(queue.refusedCycles(), 0u);
}

TEST(EngineMessageQueueConcurrency, ExchangesRunOnceEachOnTheCyclingThread) {
  EngineMessageQueue queue(nullptr);
  queue.openCycles();
  std::atomic<std::thread::id> audioThread{};
  CyclingThread audio(queue, [&] { audioThread = std::this_thread::get_id(); });
  while (audio.cycles.load() == 0) std::this_thread::yield();
  auto source = cyclesFrom(audio);
  source.grace = std::chrono::minutes(10);  // a busy machine may hold the thread back a while
  int value = 0;                            // touched by the exchanged blocks only
  bool allOnAudioThread = true;
  for (int i = 0; i < 500; ++i) {
    queue.perform(
        [&] {
          ++value;
          allOnAudioThread &= std::this_thread::get_id() == audioThread.load();
        },
        source);
    ASSERT_EQ(value, i + 1);  // ran exactly once before perform returned
  }
  EXPECT_TRUE(allOnAudioThread);
  EXPECT_EQ(queue.exchangesOnAudioThread(), 500u);
}

TEST(EngineMessageQueueConcurrency, ExchangeRunsHereWhenNoCycleComes) {
  EngineMessageQueue queue(nullptr);
  EngineMessageQueue::CycleSource none;
  int ran = 0;
  queue.perform([&] { ++ran; }, none);  // gate closed: nothing can cycle
  queue.openCycles();
  queue.perform([&] { ++ran; }, none);
  // A device said to be running that delivers no cycle (a hung server).
  EngineMessageQueue::CycleSource stalled;
  stalled.cyclesExpected = [] { return true; };
  stalled.cycleCount = [] { return uint64_t(7); };
  stalled.grace = 20ms;
  queue.perform([&] { ++ran; }, stalled);
  EXPECT_EQ(ran, 3);
  EXPECT_EQ(queue.exchangesOnAudioThread(), 0u);
  // The gate is as it was: a cycle can still enter.
  EXPECT_TRUE(queue.enterCycle());
  queue.leaveCycle();
}

TEST(EngineMessageQueueConcurrency, ClosingWaitsForTheCycleInsideAndKeepsLaterOnesOut) {
  EngineMessageQueue queue(nullptr);
  queue.openCycles();
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> leftBeforeClosed{false};
  std::thread audio([&] {
    ASSERT_TRUE(queue.enterCycle());
    entered = true;
    while (!release.load()) std::this_thread::yield();
    leftBeforeClosed = true;
    queue.leaveCycle();
  });
  while (!entered.load()) std::this_thread::yield();
  std::thread closer([&] { queue.closeCycles(); });
  std::this_thread::sleep_for(20ms);
  release = true;
  closer.join();
  audio.join();
  EXPECT_TRUE(leftBeforeClosed.load());
  const uint64_t refusedBefore = queue.refusedCycles();
  EXPECT_FALSE(queue.enterCycle());
  EXPECT_EQ(queue.refusedCycles(), refusedBefore + 1);
  queue.openCycles();
  EXPECT_TRUE(queue.enterCycle());
  queue.leaveCycle();
}

struct Received {
  static void handler(AudioEngine*, void* data, int length) {
    ASSERT_EQ(length, int(sizeof(int) * 2));
    int message[2];
    std::memcpy(message, data, sizeof message);
    auto& last = lastBySender[message[0]];
    if (message[1] == last + 1) last = message[1];
    ++count;
  }
  static inline int lastBySender[3] = {-1, -1, -1};
  static inline int count = 0;
};

// The cycling thread sends without a lock, two other threads through the
// locked ring, while the main side drains: every message arrives, in order
// per sender.
TEST(EngineMessageQueueConcurrency, MessagesFromTheCycleAndFromOtherThreadsAllArriveInOrder) {
  EngineMessageQueue queue(nullptr);
  queue.openCycles();
  Received::count = 0;
  for (int& last : Received::lastBySender) last = -1;
  constexpr int kEach = 3000;
  std::atomic<int> cycleSent{0};
  auto sendAll = [&](int sender) {
    for (int i = 0; i < kEach;) {
      const int message[2] = {sender, i};
      if (queue.send(&Received::handler, message, sizeof message)) {
        ++i;
      } else {
        std::this_thread::yield();  // full: the main side is behind
      }
    }
  };
  std::thread other1([&] { sendAll(1); });
  std::thread other2([&] { sendAll(2); });
  {
    CyclingThread audio(queue, [&] {
      const int i = cycleSent.load();
      if (i >= kEach) return;
      const int message[2] = {0, i};
      if (queue.send(&Received::handler, message, sizeof message)) cycleSent = i + 1;
    });
    while (Received::count < 3 * kEach) queue.processMainThreadMessages();
  }
  other1.join();
  other2.join();
  for (int last : Received::lastBySender) EXPECT_EQ(last, kEach - 1);
}

TEST(EngineMessageQueue, FullRingDropsAndSaysSo) {
  EngineMessageQueue queue(nullptr);
  Received::count = 0;
  for (int& last : Received::lastBySender) last = -1;
  int sent = 0;
  while (sent < 10000) {
    const int message[2] = {1, sent};
    if (!queue.send(&Received::handler, message, sizeof message)) break;
    ++sent;
  }
  ASSERT_LT(sent, 10000);
  EXPECT_TRUE(queue.hasMainThreadMessages());
  testing::LogCapture capture;
  queue.processMainThreadMessages();
  EXPECT_EQ(Received::count, sent);  // what fitted is kept whole
  EXPECT_TRUE(capture.contains("1 messages from the audio thread were dropped"));
  EXPECT_FALSE(queue.hasMainThreadMessages());
}

}  // namespace
}  // namespace qur

namespace qur {
namespace {

TEST(EngineMessageQueue, ExchangeFromInsideTheCycleRunsAtOnce) {
  EngineMessageQueue queue(nullptr);
  queue.openCycles();
  ASSERT_TRUE(queue.enterCycle());
  int ran = 0;
  queue.perform([&] { ++ran; }, {});  // would wait for its own cycle to end
  EXPECT_EQ(ran, 1);
  queue.leaveCycle();
  EXPECT_EQ(ran, 1);  // and is not run again at the end of the cycle
}

}  // namespace
}  // namespace qur
