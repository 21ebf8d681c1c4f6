#include "ui/input_level_tap.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace qur {

float InputLevelTap::decibels(float peak) {
  if (!(peak > 0.0f)) return kFloorDecibels;
  return std::max(kFloorDecibels, 20.0f * std::log10(std::min(peak, 1.0f)));
}

void InputLevelTap::receive(AudioReceiver* receiver, AudioEngine*, int source,
                            const AudioTimeStamp*, UInt32, const AudioBufferList* audio) {
  if (source != kAudioEngineSourceInput || !audio) return;
  int largest = 0;
  for (UInt32 b = 0; b < audio->mNumberBuffers; ++b) {
    const AudioBuffer& buffer = audio->mBuffers[b];
    if (!buffer.mData) continue;
    const auto* samples = static_cast<const int16_t*>(buffer.mData);
    const std::size_t count = buffer.mDataByteSize / sizeof(int16_t);
    for (std::size_t i = 0; i < count; ++i) largest = std::max(largest, std::abs(int(samples[i])));
  }
  const float peak = float(largest) / 32768.0f;
  auto& stored = static_cast<InputLevelTap*>(receiver)->_peak;
  // Several cycles may pass between two reads: keep the loudest.
  float current = stored.load(std::memory_order_relaxed);
  while (peak > current &&
         !stored.compare_exchange_weak(current, peak, std::memory_order_relaxed)) {
  }
}

}  // namespace qur
