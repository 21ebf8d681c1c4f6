// The engine on real audio I/O: PortAudio through ALSA into a private
// PulseAudio server whose null sink's monitor is the microphone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "audio/engine/audio_engine.h"
#include "audio/engine/portaudio_device.h"
#include "support/engine_test_support.h"
#include "support/log_capture.h"
#include "support/pulse_server.h"
#include "support/test_main.h"

namespace qur {
namespace {

class AudioEnginePortAudio : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new testing::PulseServer();
    std::string error;
    started = server->start(&error);
    if (!started) startError = error;
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(started) << startError; }

  static std::unique_ptr<AudioEngine> makeEngine() {
    auto engine =
        std::make_unique<AudioEngine>(AudioEngine::interleaved16BitStereoAudioDescription(), true,
                                      true, std::make_unique<PortAudioDevice>(std::string(), 441));
    return engine;
  }

  static inline testing::PulseServer* server = nullptr;
  static inline bool started = false;
  static inline std::string startError;
};

// Accumulates the energy of the left input channel after a warm-up.
class LevelReceiver : public AudioReceiver {
 public:
  AudioEngineReceiverCallback receiverCallback() const override { return &receive; }
  static void receive(AudioReceiver* object, AudioEngine*, int, const AudioTimeStamp*,
                      UInt32 frames, const AudioBufferList* audio) {
    auto* self = static_cast<LevelReceiver*>(object);
    const auto* samples = static_cast<const int16_t*>(audio->mBuffers[0].mData);
    const uint64_t seen = self->framesSeen.fetch_add(frames);
    if (seen < 44100 / 2) return;  // the sink's latency and the stream start-up
    double energy = 0;
    for (UInt32 f = 0; f < frames; ++f) energy += double(samples[2 * f]) * samples[2 * f];
    self->energy.store(self->energy.load() + energy);
    self->framesMeasured.fetch_add(frames);
  }
  double rms() const { return std::sqrt(energy.load() / double(framesMeasured.load())); }
  std::atomic<uint64_t> framesSeen{0};
  std::atomic<uint64_t> framesMeasured{0};
  std::atomic<double> energy{0};
};

TEST_F(AudioEnginePortAudio, ToneIsHeardBackOnTheMonitorAtItsLevel) {
  auto engine = makeEngine();
  ASSERT_TRUE(engine->inputAvailable()) << engine->lastError();
  auto receiver = std::make_shared<LevelReceiver>();
  engine->addChannels({std::make_shared<testing::ToneChannel>(1000.0, 0.25)});
  engine->addInputReceiver(receiver);
  ASSERT_TRUE(engine->start());
  testing::mainLoop().runUntil([&] { return receiver->framesMeasured.load() > 44100; },
                               std::chrono::seconds(10));
  engine->stop();
  ASSERT_GT(receiver->framesMeasured.load(), 44100u);
  // A sine of peak 0.25 full scale has an RMS of 0.25/sqrt(2) full scale.
  const double expected = 0.25 * 32767.0 / std::sqrt(2.0);
  const double db = 20 * std::log10(receiver->rms() / expected);
  EXPECT_NEAR(db, 0.0, 1.0) << "measured rms " << receiver->rms();
}

// Stamps every cycle's filtered audio with a running number; the receiver
// must see each number in the cycle it was written.
class StampFilter : public AudioFilter {
 public:
  AudioEngineFilterCallback filterCallback() const override { return &filter; }
  static OSStatus filter(AudioFilter* object, AudioEngine*, AudioEngineAudioProducer producer,
                         void* token, const AudioTimeStamp*, UInt32 frames,
                         AudioBufferList* audio) {
    auto* self = static_cast<StampFilter*>(object);
    UInt32 got = frames;
    producer(token, audio, &got);
    const int stamp = ++self->stamps;
    auto* samples = static_cast<int16_t*>(audio->mBuffers[0].mData);
    for (UInt32 i = 0; i < frames * 2; ++i) samples[i] = int16_t(stamp);
    return noErr;
  }
  std::atomic<int> stamps{0};
};

TEST_F(AudioEnginePortAudio, FilterOutputReachesTheReceiverInTheSameCycle) {
  auto engine = makeEngine();
  auto filter = std::make_shared<StampFilter>();
  auto receiver = std::make_shared<testing::RecordingReceiver>(1000);
  engine->addInputFilter(filter);
  engine->addInputReceiver(receiver);
  ASSERT_TRUE(engine->start());
  testing::mainLoop().runUntil([&] { return receiver->count.load() >= 200; },
                               std::chrono::seconds(10));
  engine->stop();
  const size_t count = receiver->count.load();
  ASSERT_GE(count, 200u);
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(receiver->firstSamples[i], int16_t(i + 1)) << "cycle " << i;
  }
}

TEST_F(AudioEnginePortAudio, SurvivesARestartOfTheSoundServer) {
  auto engine = makeEngine();
  auto channel = std::make_shared<testing::ConstantChannel>(100);
  engine->addChannels({channel});
  testing::LogCapture capture;
  ASSERT_TRUE(engine->start());
  ASSERT_TRUE(testing::mainLoop().runUntil([&] { return channel->renders.load() > 50; },
                                           std::chrono::seconds(10)));
  server->kill();
  ASSERT_TRUE(testing::mainLoop().runUntil([&] { return engine->isInterrupted(); },
                                           std::chrono::seconds(10)));
  EXPECT_TRUE(capture.contains("lost"));
  std::string error;
  ASSERT_TRUE(server->start(&error)) << error;
  ASSERT_TRUE(testing::mainLoop().runUntil([&] { return !engine->isInterrupted(); },
                                           std::chrono::seconds(20)));
  const int renders = channel->renders.load();
  EXPECT_TRUE(testing::mainLoop().runUntil([&] { return channel->renders.load() > renders + 50; },
                                           std::chrono::seconds(10)));
  EXPECT_TRUE(capture.contains("is back"));
  engine->stop();
}

}  // namespace
}  // namespace qur
