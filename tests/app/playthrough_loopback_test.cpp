// The whole voice path on one device: the loopback chain on an engine with a
// real-time virtual device, microphone fed by the test.
#include "app/playthrough_loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "app/opus_stream_receiver.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/opus_decoder.h"
#include "audio/opus_encoder.h"
#include "support/engine_test_support.h"
#include "support/test_main.h"

namespace qur {
namespace {

constexpr double kRate = 44100.0;

// A tone burst in the codec format, faded in and out.
AudioBufferListPtr toneSound(double frequency, double seconds, double amplitude) {
  const auto frames = UInt32(seconds * 48000);
  AudioBufferListPtr list(audioBufferListCreateForFormat(codecAudioDescription(), frames));
  auto* s = static_cast<std::int16_t*>(list->mBuffers[0].mData);
  for (UInt32 i = 0; i < frames; ++i) {
    const double fade = std::min({1.0, i / 480.0, (frames - i) / 480.0});
    const auto v =
        std::int16_t(amplitude * fade * 32767 * std::sin(2 * M_PI * frequency * i / 48000.0));
    s[2 * i] = s[2 * i + 1] = v;
  }
  return list;
}

// Power of one frequency in a window of the left channel (Goertzel).
double power(const std::vector<std::int16_t>& stereo, std::size_t firstFrame, std::size_t frames,
             double frequency) {
  const double k = 2 * std::cos(2 * M_PI * frequency / kRate);
  double s1 = 0, s2 = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    const double s0 = stereo[2 * (firstFrame + i)] / 32768.0 + k * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return (s1 * s1 + s2 * s2 - k * s1 * s2) / double(frames * frames);
}

TEST(PlaythroughLoopbackTest, SoundsAreHalvedAndTheEndSoundIsTheStartReversed) {
  AudioBufferListPtr sound(audioBufferListCreateForFormat(codecAudioDescription(), 3));
  auto* s = static_cast<std::int16_t*>(sound->mBuffers[0].mData);
  const std::int16_t samples[] = {3, -3, 1000, -1000, 7, 8};
  std::copy(std::begin(samples), std::end(samples), s);
  auto stream = OpusPlaythroughStream::create(
      nullptr, AudioEngine::interleaved16BitStereoAudioDescription(), std::move(sound));
  ASSERT_TRUE(stream);
  const auto* start = static_cast<const std::int16_t*>(stream->startSound()->mBuffers[0].mData);
  const auto* end = static_cast<const std::int16_t*>(stream->endSound()->mBuffers[0].mData);
  EXPECT_EQ(std::vector<std::int16_t>(start, start + 6),
            (std::vector<std::int16_t>{1, -1, 500, -500, 3, 4}));
  EXPECT_EQ(stream->endSound()->mBuffers[0].mDataByteSize,
            stream->startSound()->mBuffers[0].mDataByteSize);
  EXPECT_EQ(std::vector<std::int16_t>(end, end + 6),
            (std::vector<std::int16_t>{3, 4, 500, -500, 1, -1}));
}

TEST(PlaythroughLoopbackTest, TransmissionPlaysStartSoundVoiceEndSoundInOrder) {
  // Microphone: 1.2 s of a 300 Hz tone, then silence.
  constexpr double kVoiceSeconds = 1.2;
  std::atomic<std::uint64_t> fed{0};
  auto voice = [](std::uint64_t frame) {
    const double t = double(frame) / kRate;
    return t < kVoiceSeconds ? std::int16_t(0.3 * 32767 * std::sin(2 * M_PI * 300 * t))
                             : std::int16_t(0);
  };
  auto device =
      std::make_unique<VirtualDevice>(testing::fedRealTimeDeviceOptions(voice, fed, 44100 * 4));
  VirtualDevice* rawDevice = device.get();
  auto engine = std::make_shared<AudioEngine>(AudioEngine::interleaved16BitStereoAudioDescription(),
                                              true, false, std::move(device));
  auto stream =
      OpusPlaythroughStream::create(engine, engine->audioDescription(), toneSound(1000, 0.1, 0.5));
  ASSERT_TRUE(stream);
  engine->addInputReceiver(stream->opusEncoder());
  engine->addChannels({stream->opusDecoder()});
  stream->opusEncoder()->startEncoding();
  std::string error;
  ASSERT_TRUE(engine->start(&error)) << error;

  auto& loop = testing::mainLoop();
  ASSERT_TRUE(loop.runUntil([&] { return double(fed.load()) / kRate >= kVoiceSeconds; },
                            std::chrono::seconds(10)));
  stream->opusEncoder()->stopEncoding();
  ASSERT_TRUE(loop.runUntil(
      [&] {
        return stream->opusDecoder()->sessionEndsPlayed() == 1 &&
               stream->opusDecoder()->isDrained();
      },
      std::chrono::seconds(10)));
  loop.runFor(std::chrono::milliseconds(50));
  engine->stop();
  engine->removeChannels({stream->opusDecoder()});

  const auto out = rawDevice->capturedOutput();
  const std::size_t windows = out.size() / 2 / 441;
  ASSERT_GT(windows, 150u);
  // Classify every 10 ms: B (beep), V (voice), . (quiet).
  std::string track;
  for (std::size_t w = 0; w < windows; ++w) {
    const double beep = power(out, w * 441, 441, 1000);
    const double voice = power(out, w * 441, 441, 300);
    const double floor = 1e-4;
    track += beep > floor && beep > voice ? 'B' : voice > floor ? 'V' : '.';
  }
  const auto firstBeep = track.find('B');
  const auto firstVoice = track.find('V');
  const auto lastVoice = track.rfind('V');
  const auto lastBeep = track.rfind('B');
  ASSERT_NE(firstBeep, std::string::npos) << track;
  ASSERT_NE(firstVoice, std::string::npos) << track;
  EXPECT_LT(firstBeep, firstVoice) << track;
  EXPECT_GT(lastBeep, lastVoice) << track;
  // The voice lasts as long as it was spoken, without a gap of 30 ms or more.
  const double voiceSeconds = double(lastVoice - firstVoice + 1) / 100.0;
  EXPECT_NEAR(voiceSeconds, kVoiceSeconds, 0.08) << track;
  EXPECT_EQ(track.substr(firstVoice, lastVoice - firstVoice).find("..."), std::string::npos)
      << track;
  EXPECT_EQ(stream->streamReceiver()->packetsInBuffer(), 0);
}

}  // namespace
}  // namespace qur
