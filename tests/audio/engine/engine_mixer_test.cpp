#include "audio/engine/engine_mixer_rt.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "audio/engine/audio_engine.h"
#include "support/engine_test_support.h"

namespace qur {
namespace {

using testing::ConstantChannel;

constexpr UInt32 kFrames = 64;

// Records for the channels, as the engine builds them.
struct Mix {
  explicit Mix(UInt32 channelsPerFrame = 2)
      : mixer(channelsPerFrame, 4096), perFrame(channelsPerFrame) {}
  EngineChannelRecord* add(AudioPlayable* channel) {
    auto record = std::make_unique<EngineChannelRecord>();
    record->callback = channel->renderCallback();
    record->channel = channel;
    records.push_back(std::move(record));
    pointers.push_back(records.back().get());
    return pointers.back();
  }
  std::vector<int16_t> render(float master = 1.0f, UInt32 frames = kFrames, uint64_t host = 0) {
    std::vector<int16_t> out(size_t(frames) * perFrame, 12345);  // stale data to overwrite
    mixer.render(nullptr, pointers.data(), int(pointers.size()), master, out.data(), frames, host);
    return out;
  }
  EngineMixer mixer;
  UInt32 perFrame;
  std::vector<std::unique_ptr<EngineChannelRecord>> records;
  std::vector<EngineChannelRecord*> pointers;
};

TEST(EngineMixer, UnityChannelsSumExactlyAndClipAtFullScale) {
  Mix mix;
  ConstantChannel a(20000), b(20000), c(-3);
  mix.add(&a);
  mix.add(&b);
  auto out = mix.render();
  for (int16_t s : out) ASSERT_EQ(s, 32767);  // clipped, not wrapped to negative
  a.value = -20000;
  b.value = -20000;
  out = mix.render();
  for (int16_t s : out) ASSERT_EQ(s, -32768);
  a.value = 1;
  b.value = 2;
  mix.add(&c);
  out = mix.render();
  for (int16_t s : out) ASSERT_EQ(s, 0);  // 1 + 2 - 3 exactly, no rounding
}

TEST(EngineMixer, ChannelThatWritesNothingAddsSilenceNotTheLastBus) {
  Mix mix;
  ConstantChannel loud(1000), quiet(0);
  quiet.silent = true;
  mix.add(&loud);
  mix.add(&quiet);  // renders into the bus the loud channel just filled
  auto out = mix.render();
  for (int16_t s : out) ASSERT_EQ(s, 1000);
  EXPECT_EQ(quiet.renders.load(), 1);
}

TEST(EngineMixer, PanVolumeAndMasterScaleEachSide) {
  Mix mix;
  ConstantChannel left(10000), hard(10000);
  left.setPan(-0.5f);
  left.setVolume(0.5f);
  mix.add(&left);
  auto out = mix.render();
  EXPECT_EQ(out[0], 5000);  // near side: volume only
  EXPECT_EQ(out[1], 2500);  // far side: volume and half the pan
  hard.setPan(1.0f);        // hard right is kept a hair from silence
  mix.add(&hard);
  out = mix.render(0.5f);
  // The float path truncates; a sample either way is within its rounding.
  EXPECT_NEAR(out[0], 2500 + 5, 1);
  EXPECT_NEAR(out[1], 1250 + 5000, 1);
  out = mix.render(0.0f);
  for (int16_t s : out) ASSERT_EQ(s, 0);
}

TEST(EngineMixer, MonoIgnoresPan) {
  Mix mix(1);
  ConstantChannel channel(800);
  channel.setPan(1.0f);
  mix.add(&channel);
  // ConstantChannel writes two samples per frame; a mono bus holds one, so
  // render half the frames the bus can take.
  auto out = mix.render(1.0f, kFrames / 2);
  for (int16_t s : out) ASSERT_EQ(s, 800);
}

TEST(EngineMixer, OnlyPlayingUnmutedChannelsRenderAndAdvanceTheirClock) {
  Mix mix;
  ConstantChannel playing(1), stopped(100), muted(1000);
  stopped.setChannelIsPlaying(false);
  muted.setChannelIsMuted(true);
  EngineChannelRecord* playingRecord = mix.add(&playing);
  EngineChannelRecord* stoppedRecord = mix.add(&stopped);
  mix.add(&muted);
  mix.render(1.0f, kFrames, 777);
  auto out = mix.render(1.0f, kFrames, 888);
  for (int16_t s : out) ASSERT_EQ(s, 1);
  EXPECT_EQ(stopped.renders.load(), 0);
  EXPECT_EQ(muted.renders.load(), 0);
  EXPECT_EQ(playingRecord->timestamp.mSampleTime, 2.0 * kFrames);
  EXPECT_EQ(playingRecord->timestamp.mHostTime, 888u);
  EXPECT_EQ(stoppedRecord->timestamp.mSampleTime, 0.0);
}

TEST(EngineMixer, FramesBeyondTheCapacityAreNotRendered) {
  EngineMixer mixer(2, 128);
  ConstantChannel channel(9);
  EngineChannelRecord record;
  record.callback = channel.renderCallback();
  record.channel = &channel;
  EngineChannelRecord* records[] = {&record};
  std::vector<int16_t> out(256 * 2, -1);
  mixer.render(nullptr, records, 1, 1.0f, out.data(), 256, 0);
  EXPECT_EQ(out[2 * 128 - 1], 9);
  EXPECT_EQ(out[2 * 128], -1);  // the mixer's own buffers hold 128 frames
  EXPECT_EQ(record.timestamp.mSampleTime, 128.0);
}

}  // namespace
}  // namespace qur
