// The engine's output mix: every playing channel renders into a zeroed
// scratch bus, which is added to the output with the channel's volume and
// pan, then the master volume. Audio thread only, after construction.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/audio_types.h"

namespace qur {

class AudioEngine;
class AudioPlayable;
using AudioEngineRenderCallback = OSStatus (*)(AudioPlayable* channel, AudioEngine* engine,
                                               const AudioTimeStamp* time, UInt32 frames,
                                               AudioBufferList* audio);

// One channel of the mix as the audio thread sees it.
struct EngineChannelRecord {
  AudioEngineRenderCallback callback = nullptr;
  AudioPlayable* channel = nullptr;
  AudioStreamBasicDescription description{};
  AudioTimeStamp timestamp{};  // sample time advances by the frames rendered
  AudioEngine* engine = nullptr;
};

class EngineMixer {
 public:
  // Main thread: allocates for `maxFrames` frames of `channelsPerFrame` (1 or 2).
  EngineMixer(UInt32 channelsPerFrame, UInt32 maxFrames);
  ~EngineMixer();
  EngineMixer(const EngineMixer&) = delete;
  EngineMixer& operator=(const EngineMixer&) = delete;

  // Audio thread. Fills `output` (frames ≤ maxFrames) with the mix of the
  // records, scaled by `master` (0 mutes); `engine` is handed to the callbacks.
  void render(AudioEngine* engine, EngineChannelRecord* const* records, int count, float master,
              int16_t* output, UInt32 frames, uint64_t hostTimeNs);

  UInt32 maxFrames() const { return _maxFrames; }

 private:
  UInt32 _channels;
  UInt32 _maxFrames;
  std::vector<float> _mix;
  std::vector<int32_t> _sum;
  std::vector<int16_t> _bus;
  AudioBufferList* _busList = nullptr;
};

}  // namespace qur
