// Decodes a whole sound file into one AudioBufferList of PCM in a format the
// caller chooses (rate, channels, int16 or float, interleaved or not). Any
// file libsndfile reads will do (CAF, WAV, FLAC, Ogg ...). Runs on the calling
// thread; the result is allocated once, sized from the file's duration.
#pragma once

#include <string>

#include "audio/audio_types.h"

namespace qur {

class MediaReader {
 public:
  // What is asked of the decoder for a description: the seven settings.
  struct OutputSettings {
    unsigned long formatID;
    double sampleRate;
    unsigned long numberOfChannels;
    unsigned long bitDepth;
    int isBigEndian;
    int isFloat;
    int isNonInterleaved;
  };
  static OutputSettings outputSettingsFromAudioDescription(
      const AudioStreamBasicDescription* description);

  // The whole file in the requested format: one buffer for an interleaved
  // description, one mono buffer per channel otherwise; every buffer has room
  // for the file's duration in frames at the requested rate and its
  // mDataByteSize holds the bytes actually decoded. Nothing (and one log
  // line) for a file that cannot be read or holds no audio. The caller frees
  // the list with audioBufferListFree().
  static AudioBufferList* createRawPCMOfAssetAtURL(const std::string& path,
                                                   const AudioStreamBasicDescription* description);
  // The same for a file already in memory (used for fuzzing).
  static AudioBufferList* createRawPCMOfMemory(const void* bytes, size_t length,
                                               const std::string& name,
                                               const AudioStreamBasicDescription* description);
};

}  // namespace qur
