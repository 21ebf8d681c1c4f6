// The engine on PortAudio while its sound server hangs, dies and comes back,
// again and again: one thread renders at a time, the main thread's table
// changes never wait for the device, and the engine goes away cleanly.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "audio/engine/audio_engine.h"
#include "audio/engine/portaudio_device.h"
#include "support/engine_test_support.h"
#include "support/log_capture.h"
#include "support/pulse_server_test.h"
#include "support/test_main.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Counts entries into and exits from its render function. A second thread
// entering before the first has left is an overlap: the engine's
// single-consumer rings would then have two consumers.
class OverlapProbe : public AudioPlayable {
 public:
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  static OSStatus render(AudioPlayable* channel, AudioEngine*, const AudioTimeStamp*, UInt32 frames,
                         AudioBufferList* audio) {
    auto* self = static_cast<OverlapProbe*>(channel);
    if (self->inside.fetch_add(1) != 0) self->overlaps.fetch_add(1);
    self->entries.fetch_add(1);
    // Stay a while, so that a second renderer would be caught inside.
    const auto until = SteadyClock::now() + 300us;
    while (SteadyClock::now() < until) {
    }
    auto* samples = static_cast<int16_t*>(audio->mBuffers[0].mData);
    for (UInt32 i = 0; i < frames * 2; ++i) samples[i] = 1000;
    self->exits.fetch_add(1);
    self->inside.fetch_sub(1);
    return noErr;
  }
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> entries{0};
  std::atomic<int> exits{0};
};

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class AudioEnginePortAudioConcurrency : public testing::PulseServerTest {
 protected:
  void TearDown() override {
    if (server->isFrozen()) server->thaw();
  }

  static std::unique_ptr<AudioEngine> makeEngine() {
    return std::make_unique<AudioEngine>(AudioEngine::interleaved16BitStereoAudioDescription(),
                                         true, true,
                                         std::make_unique<PortAudioDevice>(std::string(), 441));
  }

  static bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return testing::mainLoop().runUntil(condition, timeout);
  }

  // Renders and device cycles over a second of running: with one renderer
  // every cycle renders the probe exactly once.
  static void expectOneRenderPerCycle(AudioEngine& engine, OverlapProbe& probe, const char* when) {
    const int rendersBefore = probe.exits.load();
    const uint64_t cyclesBefore = engine.device()->cycleCount();
    const double cpuBefore = processCpuSeconds();
    testing::mainLoop().runFor(1000ms);
    const int renders = probe.exits.load() - rendersBefore;
    const auto cycles = int64_t(engine.device()->cycleCount() - cyclesBefore);
    std::printf(
        "%s: %d renders in 1 s, %lld device cycles, %d overlaps so far, CPU %.0f %% of a core, "
        "%d lost streams not yet closed\n",
        when, renders, static_cast<long long>(cycles), probe.overlaps.load(),
        (processCpuSeconds() - cpuBefore) * 100.0, PortAudioDevice::abandonedStreams());
    EXPECT_LE(PortAudioDevice::abandonedStreams(), PortAudioDevice::kMaxAbandonedStreams);
    EXPECT_GT(renders, 0) << when;
    // Either count is read a moment apart from the other.
    EXPECT_NEAR(double(renders), double(cycles), 2.0) << when;
  }
};

// A hung sound server: the watchdog notices, the main thread keeps changing
// tables meanwhile, and after the server continues one stream renders again.
TEST_F(AudioEnginePortAudioConcurrency, FrozenServerSeveralTimesInARow) {
  auto engine = makeEngine();
  auto probe = std::make_shared<OverlapProbe>();
  engine->addChannels({probe});
  testing::LogCapture capture;
  ASSERT_TRUE(engine->start()) << engine->lastError();
  ASSERT_TRUE(waitFor([&] { return probe->exits.load() > 50; }, 10s));

  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(server->freeze());
    ASSERT_TRUE(waitFor([&] { return engine->isInterrupted(); }, 15s));

    // The table changes must finish while the server is still frozen: a
    // helper thaws it only when they have hung far beyond any device cycle.
    std::atomic<bool> changed{false};
    std::atomic<bool> thawedByHelper{false};
    std::thread rescue([&] {
      const auto deadline = SteadyClock::now() + 30s;
      while (!changed && SteadyClock::now() < deadline) std::this_thread::sleep_for(10ms);
      if (!changed) {
        thawedByHelper = true;
        server->thaw();
      }
    });
    // Pairs for a while, so that some fall into the watchdog's reopen attempts.
    const auto until = SteadyClock::now() + 2500ms;
    double slowest = 0;
    int pairs = 0;
    while (SteadyClock::now() < until) {
      const auto before = SteadyClock::now();
      auto extra = std::make_shared<testing::ConstantChannel>(7);
      engine->addChannels({extra});
      engine->removeChannels({extra});
      extra->removed = true;
      EXPECT_EQ(extra->callsAfterRemoval.load(), 0);
      slowest = std::max(
          slowest, std::chrono::duration<double, std::milli>(SteadyClock::now() - before).count());
      ++pairs;
      testing::mainLoop().runFor(20ms);
    }
    changed = true;
    rescue.join();
    std::printf("round %d: %d add/remove pairs with the server frozen, slowest %.2f ms\n", round,
                pairs, slowest);
    EXPECT_FALSE(thawedByHelper) << "table changes waited for the frozen server";

    ASSERT_TRUE(server->thaw());
    ASSERT_TRUE(waitFor([&] { return !engine->isInterrupted(); }, 30s));
    const int resumed = probe->exits.load();
    ASSERT_TRUE(waitFor([&] { return probe->exits.load() > resumed + 50; }, 10s));
    expectOneRenderPerCycle(*engine, *probe, "after a freeze");
  }
  EXPECT_EQ(probe->overlaps.load(), 0);
  EXPECT_EQ(probe->entries.load(), probe->exits.load());

  engine->stop();
  const int atStop = probe->entries.load();
  testing::mainLoop().runFor(500ms);
  EXPECT_EQ(probe->entries.load(), atStop) << "a stream rendered after stop()";
  engine.reset();
  testing::mainLoop().runFor(300ms);
  EXPECT_EQ(probe->entries.load(), atStop) << "a stream rendered after destruction";
}

TEST_F(AudioEnginePortAudioConcurrency, KilledServerSeveralTimesInARow) {
  auto engine = makeEngine();
  auto probe = std::make_shared<OverlapProbe>();
  engine->addChannels({probe});
  ASSERT_TRUE(engine->start()) << engine->lastError();
  ASSERT_TRUE(waitFor([&] { return probe->exits.load() > 50; }, 10s));
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    server->kill();
    ASSERT_TRUE(waitFor([&] { return engine->isInterrupted(); }, 15s));
    auto extra = std::make_shared<testing::ConstantChannel>(7);
    engine->addChannels({extra});
    engine->removeChannels({extra});
    std::string error;
    ASSERT_TRUE(server->start(&error)) << error;
    ASSERT_TRUE(waitFor([&] { return !engine->isInterrupted(); }, 30s));
    const int resumed = probe->exits.load();
    ASSERT_TRUE(waitFor([&] { return probe->exits.load() > resumed + 50; }, 10s));
    expectOneRenderPerCycle(*engine, *probe, "after a restart");
  }
  EXPECT_EQ(probe->overlaps.load(), 0);
  // Destroyed while running, without stop(): the destructor has to stop it.
  engine.reset();
  const int atDestruction = probe->entries.load();
  testing::mainLoop().runFor(300ms);
  EXPECT_EQ(probe->entries.load(), atDestruction);
  EXPECT_EQ(probe->entries.load(), probe->exits.load());
}

// Too short for the watchdog: nothing is reopened, and the one stream goes on
// rendering once per cycle. The microphone audio that piled up meanwhile is
// dropped, not heard late.
TEST_F(AudioEnginePortAudioConcurrency, BriefFreezeKeepsTheStream) {
  auto engine = makeEngine();
  auto probe = std::make_shared<OverlapProbe>();
  engine->addChannels({probe});
  testing::LogCapture capture;
  ASSERT_TRUE(engine->start()) << engine->lastError();
  ASSERT_TRUE(waitFor([&] { return probe->exits.load() > 50; }, 10s));
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(server->freeze());
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(server->thaw());
    testing::mainLoop().runFor(500ms);
  }
  expectOneRenderPerCycle(*engine, *probe, "after brief freezes");
  EXPECT_FALSE(capture.contains("lost"));
  EXPECT_GT(engine->device()->statistics().droppedCaptureFrames, 0u);
  EXPECT_EQ(probe->overlaps.load(), 0);
  engine->stop();
}

}  // namespace
}  // namespace qur
