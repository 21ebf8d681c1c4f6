#include "audio/audio_buffer_list.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qur {
namespace {

TEST(AudioBufferListUtilities, CreateShapes) {
  AudioBufferListPtr interleaved(audioBufferListCreate(2, 4, true, 100));
  ASSERT_NE(interleaved, nullptr);
  ASSERT_EQ(interleaved->mNumberBuffers, 1u);
  EXPECT_EQ(interleaved->mBuffers[0].mNumberChannels, 2u);
  EXPECT_EQ(interleaved->mBuffers[0].mDataByteSize, 400u);

  const auto planar = makeLinearPCMFormat(48000, 3, true, false);
  AudioBufferListPtr split(audioBufferListCreateForFormat(planar, 10));
  ASSERT_EQ(split->mNumberBuffers, 3u);
  for (UInt32 i = 0; i < 3; ++i) {
    EXPECT_EQ(split->mBuffers[i].mNumberChannels, 1u);
    EXPECT_EQ(split->mBuffers[i].mDataByteSize, 40u);
    EXPECT_NE(split->mBuffers[i].mData, nullptr);
  }
  AudioBufferListPtr none(audioBufferListCreate(0, 2, false, 10));
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->mNumberBuffers, 0u);
  // Sizes that overflow the 32-bit byte count are refused, not truncated.
  EXPECT_EQ(audioBufferListCreate(2, 4, true, 0x40000000u), nullptr);
}

TEST(AudioBufferListUtilities, ReversedCopyKeepsFramesWhole) {
  const std::uint32_t frames[3] = {0xAAAA0001, 0xBBBB0002, 0xCCCC0003};
  AudioBufferListPtr list(audioBufferListCreate(2, 4, true, 3));
  std::memcpy(list->mBuffers[0].mData, frames, 12);
  AudioBufferListPtr reversed(audioBufferListCreateReversed(list.get(), 4));
  ASSERT_NE(reversed, nullptr);
  EXPECT_EQ(reversed->mBuffers[0].mDataByteSize, 12u);
  EXPECT_EQ(reversed->mBuffers[0].mNumberChannels, 2u);
  const auto* out = static_cast<const std::uint32_t*>(reversed->mBuffers[0].mData);
  EXPECT_EQ(out[0], frames[2]);
  EXPECT_EQ(out[1], frames[1]);
  EXPECT_EQ(out[2], frames[0]);
  EXPECT_NE(reversed->mBuffers[0].mData, list->mBuffers[0].mData);
}

TEST(AudioBufferListUtilities, ScaleTruncatesTowardZeroAndSaturates) {
  AudioBufferListPtr list(audioBufferListCreate(1, 2, true, 5));
  auto* s = static_cast<std::int16_t*>(list->mBuffers[0].mData);
  const std::int16_t in[5] = {1000, -1000, 3, -3, 20000};
  std::memcpy(s, in, sizeof in);
  audioBufferListScale(list.get(), 0.25f);
  EXPECT_EQ(s[0], 250);
  EXPECT_EQ(s[1], -250);
  EXPECT_EQ(s[2], 0);
  EXPECT_EQ(s[3], 0);
  EXPECT_EQ(s[4], 5000);
  // Gains above 1 must not wrap loud samples round to the opposite sign.
  s[0] = 30000;
  s[1] = -30000;
  audioBufferListScale(list.get(), 2.0f);
  EXPECT_EQ(s[0], 32767);
  EXPECT_EQ(s[1], -32768);
}

}  // namespace
}  // namespace qur
