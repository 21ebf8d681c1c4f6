// Voice processing on the echo bench: a virtual device whose microphone
// hears the near end, noise and a delayed, attenuated, low-passed copy of its
// own speaker, with espeak-ng speech playing through the engine's mix.
#include <gtest/gtest.h>

#include <cstdio>

#include "audio/engine/voice_processor.h"
#include "support/alloc_guard.h"
#include "support/echo_bench.h"
#include "support/engine_test_support.h"
#include "support/log_capture.h"

namespace qur {
namespace {

using testing::EchoBenchFiles;
using testing::EchoBenchRun;
using testing::EchoBenchSetup;

constexpr size_t kConvergedFrames = 2 * 44100;  // 2 s
constexpr size_t kWindowsPerSecond = 100;

class VoiceProcessingBench : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { files = EchoBenchFiles::make(); }
  static void TearDownTestSuite() { files.remove(); }
  void SetUp() override {
    if (!files.ok) GTEST_SKIP() << "espeak-ng or sox is not installed";
  }

  // Envelope correlation of the processed signal with the dry near end from
  // `fromSecond` on, at the best lag up to 200 ms.
  static double nearEndCorrelation(const EchoBenchRun& run, double fromSecond, long* lag) {
    const auto dry = testing::envelope(run.nearEnd);
    const auto out = testing::envelope(run.processed);
    return testing::bestEnvelopeCorrelation(dry, out, size_t(fromSecond * kWindowsPerSecond),
                                            dry.size() - 20, 20, lag);
  }

  static EchoBenchFiles files;
};
EchoBenchFiles VoiceProcessingBench::files;

TEST_F(VoiceProcessingBench, CancelsTheEchoOfFarEndSpeechAcrossTheDelayRange) {
  for (const double delayMs : {20.0, 60.0, 120.0}) {
    SCOPED_TRACE(delayMs);
    EchoBenchSetup setup;
    setup.echoDelayMs = delayMs;
    const EchoBenchRun run = testing::runEchoBench(files, setup);
    ASSERT_TRUE(run.active);
    ASSERT_GT(run.processed.size(), kConvergedFrames * 4);
    const double erle = testing::erleDb(run, kConvergedFrames);
    std::printf("echo delay %.0f ms: ERLE %.1f dB after 2 s\n", delayMs, erle);
    EXPECT_GE(erle, 15.0);
  }
}

TEST_F(VoiceProcessingBench, WithoutProcessingTheEchoGoesOutAsHeard) {
  // The bench itself must carry the echo, or the cancellation figures mean nothing.
  EchoBenchSetup setup;
  setup.voiceProcessing = false;
  setup.seconds = 4;
  const EchoBenchRun run = testing::runEchoBench(files, setup);
  EXPECT_FALSE(run.active);
  EXPECT_LT(std::abs(testing::erleDb(run, kConvergedFrames)), 0.5);
  EXPECT_GT(testing::energy(run.microphone, 0, run.microphone.size() / 2), 0.0);
}

TEST_F(VoiceProcessingBench, NearEndSpeechSurvivesDoubleTalk) {
  EchoBenchSetup setup;
  setup.nearEnd = true;
  setup.seconds = 10;
  const EchoBenchRun run = testing::runEchoBench(files, setup);
  ASSERT_TRUE(run.active);
  long lag = 0;
  const double c = nearEndCorrelation(run, 2.0, &lag);
  std::printf("double talk: near-end envelope correlation %.3f at %ld ms\n", c, lag * 10);
  EXPECT_GE(c, 0.8);
}

TEST_F(VoiceProcessingBench, StationaryNoiseIsSuppressedWhileSpeechPasses) {
  EchoBenchSetup setup;
  setup.farEnd = false;
  setup.echo = false;
  setup.nearEnd = true;
  setup.noise = true;
  setup.seconds = 10;
  const EchoBenchRun run = testing::runEchoBench(files, setup);
  ASSERT_TRUE(run.active);
  long lag = 0;
  const double c = nearEndCorrelation(run, 2.0, &lag);

  // Noise where the near end is silent, against what the microphone heard there.
  const auto dry = testing::envelope(run.nearEnd);
  double micNoise = 0, outNoise = 0;
  for (size_t w = 2 * kWindowsPerSecond; w + size_t(lag) < dry.size(); ++w) {
    if (dry[w] > 1.0) continue;
    micNoise += testing::energy(run.microphone, w * 441, w * 441 + 441);
    outNoise +=
        testing::energy(run.processed, (w + size_t(lag)) * 441, (w + size_t(lag)) * 441 + 441);
  }
  ASSERT_GT(micNoise, 0.0);
  const double reduction = testing::decibels(micNoise / std::max(outNoise, 1.0));
  std::printf("noise at -40 dBFS reduced by %.1f dB; speech envelope correlation %.3f\n", reduction,
              c);
  EXPECT_GE(reduction, 10.0);
  EXPECT_GE(c, 0.9);
}

TEST_F(VoiceProcessingBench, HeadphonesNearEndPassesUnchangedAndOnTime) {
  EchoBenchSetup setup;
  setup.farEnd = false;
  setup.echo = false;
  setup.nearEnd = true;
  setup.seconds = 8;
  const EchoBenchRun run = testing::runEchoBench(files, setup);
  ASSERT_TRUE(run.active);
  long lag = 0;
  const double c = nearEndCorrelation(run, 1.0, &lag);
  std::printf("headphones: near-end envelope correlation %.3f at %ld ms; latency %lld frames\n", c,
              lag * 10, static_cast<long long>(run.latencyFrames));
  EXPECT_GE(c, 0.95);
  // The latency the processor reports is the one the audio has.
  EXPECT_NEAR(double(lag), double(run.latencyFrames) / 441.0, 1.0);
}

}  // namespace
}  // namespace qur
