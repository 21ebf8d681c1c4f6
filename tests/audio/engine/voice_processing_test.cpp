// Voice processing on the echo bench: a virtual device whose microphone
// hears the near end, noise and a delayed, attenuated, low-passed copy of its
// own speaker, with espeak-ng speech playing through the engine's mix.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

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

// ---- Which mode the engine runs --------------------------------------------

// A virtual device that, like a hardware one, wants its microphone cleaned.
class SpeakerLikeDevice : public VirtualDevice {
 public:
  using VirtualDevice::VirtualDevice;
  bool voiceProcessingByDefault() const override { return true; }
};

std::unique_ptr<VirtualDevice> manualDevice(bool speakerLike = false, bool hasInput = true) {
  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::Manual;
  options.hasInput = hasInput;
  if (speakerLike) return std::make_unique<SpeakerLikeDevice>(options);
  return std::make_unique<VirtualDevice>(options);
}

struct ModeCase {
  const char* what;
  bool speakerLike;
  bool hasInput;
  bool inputEnabled;
  bool constructedWith;
  int choice;  // -1 none, 0 off, 1 on
  bool expectActive;
};

TEST(VoiceProcessingMode, EngineReportsTheModeItRunsIn) {
  const ModeCase cases[] = {
      {"virtual device by default", false, true, true, true, -1, false},
      {"virtual device when asked", false, true, true, true, 1, true},
      {"speaker-like device by default", true, true, true, true, -1, true},
      {"speaker-like device switched off", true, true, true, true, 0, false},
      {"engine built without voice processing", true, true, true, false, -1, false},
      {"engine built without, switched on", false, true, true, false, 1, true},
      {"device without microphone", false, false, true, true, 1, false},
      {"engine without input", false, true, false, true, 1, false},
  };
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(c.what);
    testing::LogCapture capture(LogLevelInfo | LogLevelError);
    AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), c.inputEnabled,
                       c.constructedWith, manualDevice(c.speakerLike, c.hasInput));
    if (c.choice >= 0) engine.setVoiceProcessingEnabled(c.choice == 1);
    ASSERT_TRUE(engine.start());
    EXPECT_EQ(engine.isVoiceProcessingActive(), c.expectActive);
    EXPECT_EQ(engine.voiceProcessor() != nullptr, c.expectActive);
    EXPECT_EQ(
        capture.count(c.expectActive ? "Engine: Voice processing on (echo cancellation, noise "
                                       "suppression, high-pass filter)"
                                     : "Engine: Voice processing off"),
        1);
    engine.stop();
  }
}

TEST(VoiceProcessingMode, RestartKeepsTheModeAndStartsTheStreamAfresh) {
  auto owned = manualDevice(true);
  VirtualDevice* device = owned.get();
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     std::move(owned));
  ASSERT_TRUE(engine.start());
  device->runCycles(50);
  const VoiceProcessor* first = engine.voiceProcessor();
  ASSERT_NE(first, nullptr);
  EXPECT_GT(first->blocksProcessed(), 40u);
  engine.stop();
  ASSERT_TRUE(engine.start());
  EXPECT_TRUE(engine.isVoiceProcessingActive());
  EXPECT_EQ(engine.voiceProcessor(), first);
  // Nothing from before the stop is waiting: the latency is the pipeline's own again.
  const int64_t leadIn = first->addedLatencyFrames();
  device->runCycles(50);
  EXPECT_LT(first->addedLatencyFrames() - leadIn, 3 * 441);
  EXPECT_EQ(first->underruns(), 0u);
  engine.stop();
}

// ---- The processor on its own ---------------------------------------------------

TEST(VoiceProcessorFormats, RefusesFormatsItCannotCarry) {
  std::string error;
  EXPECT_EQ(VoiceProcessor::create(makeLinearPCMFormat(44100, 2, true), {}, &error), nullptr);
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_EQ(VoiceProcessor::create(makeLinearPCMFormat(44100, 3), {}, &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(VoiceProcessor::create(makeLinearPCMFormat(44100, 2, false, false), {}, &error),
            nullptr);
}

class VoiceProcessorCycles : public VoiceProcessingBench {};

// Cycle sizes that do not divide into 10 ms blocks, mono and stereo: after
// the pipeline has found its latency (a few late cycles at most, while the
// block boundaries drift through the cycles), the audio comes out whole and
// exactly as late as the processor says.
TEST_F(VoiceProcessorCycles, AnyCycleSizeKeepsTheStreamWholeAndOnTime) {
  const std::vector<int16_t> once = testing::readWav(files.nearEnd);
  const size_t frames = 8 * 44100;
  for (const UInt32 channels : {1u, 2u}) {
    for (const UInt32 cycle : {97u, 441u, 1024u, 4096u}) {
      SCOPED_TRACE(::testing::Message() << channels << " channels, " << cycle << " frames");
      VoiceProcessingSettings settings;
      settings.dedicatedThread = false;
      // Every stage off: what comes out is what went in, resampled twice.
      settings.echoCancellation = false;
      settings.noiseSuppression = false;
      settings.highPassFilter = false;
      auto processor =
          VoiceProcessor::create(makeLinearPCMFormat(44100, channels), settings, nullptr);
      ASSERT_NE(processor, nullptr);
      processor->start();
      std::vector<int16_t> in(frames * channels), out(frames * channels);
      for (size_t f = 0; f < frames; ++f) {
        for (UInt32 c = 0; c < channels; ++c) in[f * channels + c] = once[(2 * f) % once.size()];
      }
      std::vector<int16_t> silence(size_t(cycle) * channels, 0);
      size_t settled = 0;
      uint64_t underruns = 0;
      for (size_t f = 0; f + cycle <= frames; f += cycle) {
        std::copy_n(in.begin() + ptrdiff_t(f * channels), cycle * channels,
                    out.begin() + ptrdiff_t(f * channels));
        processor->processCapture(out.data() + f * channels, cycle);
        processor->analyzeReference(silence.data(), cycle);
        if (processor->underruns() != underruns) settled = f + cycle;
        underruns = processor->underruns();
      }
      processor->stop();
      EXPECT_LT(settled, frames / 4) << underruns << " late cycles";
      EXPECT_EQ(processor->droppedFrames(), 0u);
      EXPECT_EQ(processor->failedBlocks(), 0u);
      const auto lag = size_t(processor->addedLatencyFrames());
      ASSERT_LT(lag, frames / 4);
      double sab = 0, saa = 0, sbb = 0;
      for (size_t f = settled; f + lag + cycle < frames; ++f) {
        const double a = in[f * channels], b = out[(f + lag) * channels];
        sab += a * b;
        saa += a * a;
        sbb += b * b;
      }
      EXPECT_GT(sab / std::sqrt(saa * sbb), 0.99) << "at reported latency " << lag;
      if (channels == 2) {
        for (size_t f = lag; f < frames; f += 1000) EXPECT_EQ(out[2 * f], out[2 * f + 1]);
      }
    }
  }
}

// ---- Real-time run: the processing thread beside the audio thread ----------------

// The audio thread and the processing thread share only the rings; TSan runs
// this suite too.
class VoiceProcessingConcurrency : public VoiceProcessingBench {};

TEST_F(VoiceProcessingConcurrency,
       RealTimeAudioThreadStaysAllocationFreeBesideTheProcessingThread) {
  testing::AllocationGuard::resetViolations();
  const std::vector<int16_t> near = testing::readWav(files.nearEnd);
  const auto frames = uint32_t(3 * 44100);
  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::RealTime;
  options.input = VirtualDeviceOptions::Input::Feed;
  options.feed = [&near, position = size_t(0), armed = false](int16_t* samples, uint32_t n,
                                                              int channels) mutable {
    if (!armed) {
      testing::AllocationGuard::arm();
      armed = true;
    }
    for (uint32_t i = 0; i < n * uint32_t(channels); ++i) {
      samples[i] = near[position];
      position = (position + 1) % near.size();
    }
  };
  options.echo = true;
  options.echoDelayMs = 80;
  options.inputMemoryCapacityFrames = frames;
  auto owned = std::make_unique<SpeakerLikeDevice>(options);
  VirtualDevice* device = owned.get();
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     std::move(owned));
  auto receiver = std::make_shared<testing::CaptureReceiver>(frames);
  engine.addInputReceiver(receiver);
  engine.addChannels({std::make_shared<testing::SamplesChannel>(testing::readWav(files.farEnd))});
  ASSERT_TRUE(engine.start());
  ASSERT_TRUE(engine.isVoiceProcessingActive());
  while (receiver->frames.load() < frames)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  engine.stop();

  EXPECT_EQ(testing::AllocationGuard::violations(), 0u);
  const VoiceProcessor* processor = engine.voiceProcessor();
  ASSERT_NE(processor, nullptr);
  EXPECT_TRUE(processor->settings().dedicatedThread);
  EXPECT_GT(processor->blocksProcessed(), 200u);
  EXPECT_EQ(processor->droppedFrames(), 0u);
  const std::vector<int16_t> processed = receiver->captured();
  EXPECT_GT(testing::energy(processed, 44100, processed.size() / 2), 0.0);
  EXPECT_LT(testing::energy(processed, 44100, processed.size() / 2),
            testing::energy(device->capturedInput(), 44100, processed.size() / 2));
  std::printf("real time: %llu blocks, latency %.1f ms, %llu late cycles\n",
              static_cast<unsigned long long>(processor->blocksProcessed()),
              double(processor->addedLatencyFrames()) / 44.1,
              static_cast<unsigned long long>(processor->underruns()));
}

}  // namespace
}  // namespace qur
