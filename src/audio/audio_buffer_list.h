// Heap-allocated AudioBufferLists: one list header, each buffer's data in its
// own block, released as a whole by audioBufferListFree. Used when sounds are
// prepared, never on the audio thread.
#pragma once

#include <memory>

#include "audio/audio_types.h"

namespace qur {

// One buffer of channels interleaved samples, or one mono buffer per channel
// when not interleaved; every buffer holds bytesPerFrame * frames bytes
// (contents undefined). Null when the sizes overflow or memory runs out.
AudioBufferList* audioBufferListCreate(UInt32 channels, UInt32 bytesPerFrame, bool interleaved,
                                       UInt32 frames);
// Interleaved unless the format carries kAudioFormatFlagIsNonInterleaved.
AudioBufferList* audioBufferListCreateForFormat(const AudioStreamBasicDescription& format,
                                                UInt32 frames);
void audioBufferListFree(AudioBufferList* list);

// A new list holding the same frames of bytesPerFrame bytes, last frame first.
AudioBufferList* audioBufferListCreateReversed(const AudioBufferList* list, UInt32 bytesPerFrame);

// Multiplies every signed 16-bit sample by gain in place, truncating toward
// zero and saturating at the sample range. Returns the list.
AudioBufferList* audioBufferListScale(AudioBufferList* list, float gain);

struct AudioBufferListDeleter {
  void operator()(AudioBufferList* list) const { audioBufferListFree(list); }
};
using AudioBufferListPtr = std::unique_ptr<AudioBufferList, AudioBufferListDeleter>;

}  // namespace qur
