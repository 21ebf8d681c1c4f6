// A sound file as the virtual device's microphone. It loops from the first
// device cycle, or, when it follows talking, starts over at every
// transmission and is silent in between, so a scripted talker's phrase is
// neither cut nor followed by the loop's restart.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "audio/audio_buffer_list.h"

namespace qur {

// An errno value from opening a file, in plain lower-case words.
std::string fileErrorText(int error);

class FileMicrophone {
 public:
  // A sound file decoded to the engine format, with its length in frames.
  // Null with a sentence for the user in *error when it cannot be read or
  // decoded or holds no audio.
  static AudioBufferListPtr load(const std::string& path, std::uint64_t* frames,
                                 std::string* error);
  // Whether the file can be created or truncated; *error says why not.
  static bool checkSpeakerFile(const std::string& path, std::string* error);

  // Null audio: silence.
  FileMicrophone(AudioBufferListPtr audio, std::uint64_t frames, bool followsTalking);

  // Device clock thread: no allocation, no lock.
  void fill(std::int16_t* samples, std::uint32_t count, int channels);

  // Main thread: a transmission began or ended.
  void talkingChanged(bool talking);

  // Wall-clock microseconds of the first device cycle; 0 before it. Any thread.
  long long firstCycleUs() const { return _firstCycleUs.load(std::memory_order_relaxed); }

 private:
  const AudioBufferListPtr _audio;
  const std::uint64_t _frames;
  const bool _followsTalking;
  std::atomic<bool> _talking{false};
  std::atomic<std::uint32_t> _starts{0};  // transmissions begun
  std::uint32_t _startsSeen = 0;          // clock thread only
  std::uint64_t _position = 0;            // clock thread only
  std::atomic<long long> _firstCycleUs{0};
};

}  // namespace qur
