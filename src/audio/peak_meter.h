// A level meter's reading: the peak of the audio, falling back over about a
// tenth of a second, so a reader that looks now and then still sees the
// loudest recent moment. One writer (the audio thread), any number of readers.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "audio/audio_types.h"

namespace qur {

class PeakMeter {
 public:
  static constexpr double kFallSeconds = 0.1;  // time constant of the fall

  // Audio thread; allocation-, lock- and system-call-free. Interleaved
  // 16-bit samples covering `frames` frames at `sampleRate`.
  void measure(const std::int16_t* samples, std::size_t count, UInt32 frames, double sampleRate) {
    int peak = 0;
    for (std::size_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(int(samples[i])));
    const float fallen = sampleRate > 0
                             ? _level.load(std::memory_order_relaxed) *
                                   float(std::exp(-double(frames) / (sampleRate * kFallSeconds)))
                             : 0.0f;
    _level.store(std::max(fallen, float(peak) / 32768.0f), std::memory_order_relaxed);
  }
  // Audio thread: the buffer's first channel-interleaved buffer, when it
  // holds 16-bit integer samples; other formats read as silence.
  void measure(const AudioBufferList* audio, const AudioStreamBasicDescription& format,
               UInt32 frames) {
    if (!audio || audio->mNumberBuffers == 0 || format.mBitsPerChannel != 16 ||
        (format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 || !audio->mBuffers[0].mData) {
      return;
    }
    const std::size_t count = std::min<std::size_t>(std::size_t(frames) * format.mChannelsPerFrame,
                                                    audio->mBuffers[0].mDataByteSize / 2);
    measure(static_cast<const std::int16_t*>(audio->mBuffers[0].mData), count, frames,
            format.mSampleRate);
  }

  // Any thread: 0 (silence) to 1 (full scale).
  float level() const { return _level.load(std::memory_order_relaxed); }

 private:
  std::atomic<float> _level{0.0f};
};

}  // namespace qur
