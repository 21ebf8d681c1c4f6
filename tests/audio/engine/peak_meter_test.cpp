// The level meter the terminal shows: extremes of the sample range, its fall
// over time, buffers shorter than they claim, formats it cannot read, and
// its audio-thread side allocating nothing.
#include "audio/peak_meter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/engine/audio_engine.h"
#include "support/alloc_guard.h"

namespace qur {
namespace {

constexpr double kRate = 44100;

AudioBufferList listOver(std::vector<std::int16_t>& samples, UInt32 bytes) {
  AudioBufferList list{};
  list.mNumberBuffers = 1;
  list.mBuffers[0] = {2, bytes, samples.data()};
  return list;
}

TEST(PeakMeter, FollowsTheLoudestSampleOfEitherSign) {
  PeakMeter meter;
  EXPECT_EQ(meter.level(), 0.0f);
  std::vector<std::int16_t> samples(882, 100);
  samples[17] = -32768;  // the one value whose magnitude has no positive twin
  meter.measure(samples.data(), samples.size(), 441, kRate);
  EXPECT_EQ(meter.level(), 1.0f);

  PeakMeter half;
  samples.assign(882, 0);
  samples[881] = 16384;  // the very last sample counts
  half.measure(samples.data(), samples.size(), 441, kRate);
  EXPECT_FLOAT_EQ(half.level(), 0.5f);
}

TEST(PeakMeter, FallsBackInSilenceAndJumpsUpAtOnce) {
  PeakMeter meter;
  std::vector<std::int16_t> loud(882, 16384), silence(882, 0);
  meter.measure(loud.data(), loud.size(), 441, kRate);
  // A tenth of a second of silence in ten cycles: one time constant.
  float previous = meter.level();
  for (int i = 0; i < 10; ++i) {
    meter.measure(silence.data(), silence.size(), 441, kRate);
    EXPECT_LT(meter.level(), previous);
    previous = meter.level();
  }
  EXPECT_NEAR(meter.level(), 0.5 * std::exp(-1.0), 1e-3);
  // The same span in one long cycle falls as far: the fall follows time,
  // not the number of cycles.
  PeakMeter longCycle;
  std::vector<std::int16_t> longSilence(8820, 0);
  longCycle.measure(loud.data(), loud.size(), 441, kRate);
  longCycle.measure(longSilence.data(), longSilence.size(), 4410, kRate);
  EXPECT_NEAR(longCycle.level(), meter.level(), 1e-4);

  for (int i = 0; i < 100; ++i) meter.measure(silence.data(), silence.size(), 441, kRate);
  EXPECT_LT(meter.level(), 1e-4f);
  std::vector<std::int16_t> quiet(882, 3277);
  meter.measure(quiet.data(), quiet.size(), 441, kRate);
  EXPECT_NEAR(meter.level(), 0.1, 1e-3);
}

TEST(PeakMeter, ReadsOnlyTheBytesABufferHoldsAndOnly16BitIntegers) {
  const auto format = AudioEngine::interleaved16BitStereoAudioDescription();
  // 100 frames claimed, 10 frames of bytes: the loud rest is not ours.
  std::vector<std::int16_t> samples(200, 32767);
  for (int i = 0; i < 20; ++i) samples[i] = 1000;
  AudioBufferList list = listOver(samples, 20 * sizeof(std::int16_t));
  PeakMeter meter;
  meter.measure(&list, format, 100);
  EXPECT_NEAR(meter.level(), 1000.0 / 32768, 1e-6);

  auto floats = format;
  floats.mFormatFlags |= kAudioFormatFlagIsFloat;
  floats.mBitsPerChannel = 32;
  AudioBufferList whole = listOver(samples, UInt32(samples.size() * sizeof(std::int16_t)));
  PeakMeter other;
  other.measure(&whole, floats, 100);
  EXPECT_EQ(other.level(), 0.0f);
  AudioBufferList empty{};
  other.measure(&empty, format, 100);
  other.measure(nullptr, format, 100);
  EXPECT_EQ(other.level(), 0.0f);
}

TEST(PeakMeter, MeasuringAllocatesNothing) {
  const auto format = AudioEngine::interleaved16BitStereoAudioDescription();
  std::vector<std::int16_t> samples(8192, -1200);
  AudioBufferList list = listOver(samples, UInt32(samples.size() * sizeof(std::int16_t)));
  PeakMeter meter;
  float level = 0;
  {
    testing::AllocationGuard guard;
    for (int i = 0; i < 100; ++i) meter.measure(&list, format, 4096);
    level = meter.level();
  }
  EXPECT_GT(level, 0.0f);
}

}  // namespace
}  // namespace qur
