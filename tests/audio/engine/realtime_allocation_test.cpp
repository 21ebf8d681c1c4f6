// A whole engine run with the allocation guard armed on the audio thread:
// channels, filters, receivers, file players and real-time log messages all
// active, and the main thread changing the mix meanwhile.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>

#include "audio/engine/audio_file_player.h"
#include "audio/engine/audio_unit_filter.h"
#include "audio/engine/virtual_device.h"
#include "audio/realtime_logger.h"
#include "audio/sound_resources.h"
#include "support/alloc_guard.h"
#include "support/engine_test_support.h"
#include "support/log_capture.h"
#include "support/test_main.h"

namespace qur {
namespace {

// Logs through a real-time logger every 50th cycle.
class LoggingChannel : public AudioPlayable {
 public:
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  static OSStatus render(AudioPlayable* channel, AudioEngine* engine, const AudioTimeStamp*, UInt32,
                         AudioBufferList*) {
    auto* self = static_cast<LoggingChannel*>(channel);
    if (++self->cycles % 50 == 0) {
      QUR_RT_LOG_ERROR(self->block, engine, "cycle %d of the logging channel", self->cycles);
    }
    return noErr;
  }
  RealtimeThreadLogger logger;
  RealtimeLoggerBlock block = logger.loggerBlock();
  int cycles = 0;
};

TEST(AudioEngineRealtime, AudioThreadNeverAllocates) {
  const std::string beep = soundResourcePath("beep-short-high");
  ASSERT_FALSE(beep.empty());
  testing::AllocationGuard::resetViolations();

  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::FreeRunning;
  options.input = VirtualDeviceOptions::Input::Feed;
  options.feed = [armed = false](int16_t* samples, uint32_t frames, int channels) mutable {
    // The feed runs first in every cycle on the device's thread: arm there once
    // and the guard stays armed for the rest of the thread's life.
    if (!armed) {
      testing::AllocationGuard::arm();
      armed = true;
    }
    for (uint32_t i = 0; i < frames * uint32_t(channels); ++i) samples[i] = int16_t(i * 7);
  };
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     std::make_unique<VirtualDevice>(options));
  testing::LogCapture capture(LogLevelError);

  auto dynamics =
      AudioUnitFilter::create({kAudioUnitType_Effect, kAudioUnitSubType_DynamicsProcessor,
                               kAudioUnitManufacturer_Platform, 0, 0},
                              &engine);
  ASSERT_TRUE(dynamics);
  auto receiver = std::make_shared<testing::RecordingReceiver>(1000);
  engine.addInputFilter(std::make_shared<testing::ArithmeticFilter>(1, 3));
  engine.addInputFilter(dynamics);
  engine.addInputReceiver(receiver);

  auto looping = AudioFilePlayer::audioFilePlayerWithURL(beep, &engine);
  ASSERT_TRUE(looping);
  looping->setLoop(true);
  looping->setVolume(0.5f);
  auto logging = std::make_shared<LoggingChannel>();
  engine.addChannels({std::make_shared<testing::ToneChannel>(440, 0.2), looping, logging});
  ASSERT_TRUE(engine.start());

  int completions = 0;
  for (int round = 0; round < 20; ++round) {
    auto once = AudioFilePlayer::audioFilePlayerWithURL(beep, &engine);
    ASSERT_TRUE(once);
    once->setRemoveUponFinish(true);
    once->setPan(round % 2 ? -0.5f : 0.5f);
    once->setCompletionBlock([&] { ++completions; });
    auto extra = std::make_shared<testing::ConstantChannel>(10);
    engine.addChannels({once, extra});
    testing::mainLoop().runUntil([&] { return completions > round; }, std::chrono::seconds(5));
    engine.removeChannels({extra});
  }
  testing::mainLoop().runUntil([&] { return capture.count("of the logging channel") >= 3; },
                               std::chrono::seconds(5));
  engine.stop();

  EXPECT_EQ(testing::AllocationGuard::violations(), 0u);
  EXPECT_EQ(completions, 20);
  EXPECT_GE(capture.count("of the logging channel"), 3);
  EXPECT_GT(receiver->count.load(), 10u);
  EXPECT_EQ(engine.channels().size(), 3u);
}

}  // namespace
}  // namespace qur
