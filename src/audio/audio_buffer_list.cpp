#include "audio/audio_buffer_list.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace qur {

namespace {

AudioBufferList* allocateList(UInt32 numberBuffers) {
  // calloc leaves every mData null, so a half-built list frees cleanly.
  auto* list = static_cast<AudioBufferList*>(
      std::calloc(1, audioBufferListHeaderSize(numberBuffers < 1 ? 1 : numberBuffers)));
  if (list) list->mNumberBuffers = numberBuffers;
  return list;
}

}  // namespace

AudioBufferList* audioBufferListCreate(UInt32 channels, UInt32 bytesPerFrame, bool interleaved,
                                       UInt32 frames) {
  const std::uint64_t bytes = std::uint64_t(bytesPerFrame) * frames;
  if (bytes > std::numeric_limits<UInt32>::max()) return nullptr;
  const UInt32 numberBuffers = interleaved ? 1 : channels;
  AudioBufferList* list = allocateList(numberBuffers);
  if (!list) return nullptr;
  for (UInt32 i = 0; i < numberBuffers; ++i) {
    AudioBuffer& buffer = list->mBuffers[i];
    buffer.mNumberChannels = interleaved ? channels : 1;
    buffer.mDataByteSize = UInt32(bytes);
    buffer.mData = std::malloc(bytes > 0 ? bytes : 1);
    if (!buffer.mData) {
      audioBufferListFree(list);
      return nullptr;
    }
  }
  return list;
}

AudioBufferList* audioBufferListCreateForFormat(const AudioStreamBasicDescription& format,
                                                UInt32 frames) {
  return audioBufferListCreate(format.mChannelsPerFrame, format.mBytesPerFrame,
                               !isNonInterleaved(format), frames);
}

void audioBufferListFree(AudioBufferList* list) {
  if (!list) return;
  for (UInt32 i = 0; i < list->mNumberBuffers; ++i) std::free(list->mBuffers[i].mData);
  std::free(list);
}

AudioBufferList* audioBufferListCreateReversed(const AudioBufferList* list, UInt32 bytesPerFrame) {
  AudioBufferList* reversed = allocateList(list->mNumberBuffers);
  if (!reversed) return nullptr;
  for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
    const AudioBuffer& from = list->mBuffers[i];
    AudioBuffer& to = reversed->mBuffers[i];
    to.mNumberChannels = from.mNumberChannels;
    to.mDataByteSize = from.mDataByteSize;
    to.mData = std::malloc(from.mDataByteSize > 0 ? from.mDataByteSize : 1);
    if (!to.mData) {
      audioBufferListFree(reversed);
      return nullptr;
    }
    const auto* src = static_cast<const std::uint8_t*>(from.mData);
    auto* dst = static_cast<std::uint8_t*>(to.mData);
    if (bytesPerFrame == 0) {
      std::memcpy(dst, src, from.mDataByteSize);
      continue;
    }
    const UInt32 frames = from.mDataByteSize / bytesPerFrame;
    for (UInt32 f = 0; f < frames; ++f) {
      std::memcpy(dst + std::size_t(f) * bytesPerFrame,
                  src + std::size_t(frames - 1 - f) * bytesPerFrame, bytesPerFrame);
    }
    // A trailing partial frame has no place in the reversed order: silence it.
    const UInt32 whole = frames * bytesPerFrame;
    std::memset(dst + whole, 0, from.mDataByteSize - whole);
  }
  return reversed;
}

AudioBufferList* audioBufferListScale(AudioBufferList* list, float gain) {
  if (std::isnan(gain)) gain = 0.0f;
  for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
    AudioBuffer& buffer = list->mBuffers[i];
    if (buffer.mDataByteSize < 2 || !buffer.mData) continue;
    auto* samples = static_cast<std::int16_t*>(buffer.mData);
    const UInt32 count = buffer.mDataByteSize / 2;
    for (UInt32 s = 0; s < count; ++s) {
      // Gains above 1 would otherwise wrap loud samples around to the other sign.
      float v = std::trunc(gain * float(samples[s]));
      if (v > 32767.0f) v = 32767.0f;
      if (v < -32768.0f) v = -32768.0f;
      samples[s] = std::int16_t(v);
    }
  }
  return list;
}

}  // namespace qur
