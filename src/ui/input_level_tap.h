// Listens to the microphone as the engine's input receiver and keeps the
// loudest sample seen since the last read. The audio thread only raises an
// atomic; the screen takes the value with a timer, so nothing waits.
#pragma once

#include <atomic>
#include <memory>

#include "audio/engine/audio_engine.h"

namespace qur {

class InputLevelTap : public AudioReceiver {
 public:
  // Full scale is 1.0; anything quieter than this shows as the meter's floor.
  static constexpr float kFloorDecibels = -60.0f;

  AudioEngineReceiverCallback receiverCallback() const override { return &receive; }

  // Any thread: the peak since the previous call (0…1), and starts a new window.
  float takePeak() { return _peak.exchange(0.0f, std::memory_order_relaxed); }

  // Any thread: a peak in dBFS, kFloorDecibels for silence.
  static float decibels(float peak);

 private:
  static void receive(AudioReceiver* receiver, AudioEngine* engine, int source,
                      const AudioTimeStamp* time, UInt32 frames, const AudioBufferList* audio);

  std::atomic<float> _peak{0.0f};
};

}  // namespace qur
